// Entity sounds: requests and voices, volumes by type, placement, the name fallback, and a sound
// freed while its voice plays.
#include <gtest/gtest.h>

#include "EntityRoomSupport.h"

using namespace roomtest;

namespace {

const std::string World = "{\n\"classname\" \"worldspawn\"\n}\n";

TZNT1SoundSampleVoice& VoiceOf(TGameEntitySound& s) {
  return *s.Sample->Voices[size_t(s.VoiceIndex.load())];
}

int ActiveVoices(const TZNT1SoundSample& s) {
  int n = 0;
  for (const auto& v : s.Voices) n += v->Active;
  return n;
}

TEST(EntitySound, SpeakerToggledAndPlaysOncePerBlock) {
  gametest::Files Files = EntitySounds();
  Files.emplace_back("sound/test/hum.wav", soundtest::Mono16(std::vector<int16_t>(4410, 500)));
  Room r({}, World +
                 "{\n\"classname\" \"target_speaker\"\n\"noise\" \"sound/test/hum.wav\"\n\"spawnflags\" \"2\"\n"
                 "\"targetname\" \"loop\"\n\"origin\" \"10 20 30\"\n}\n"
                 "{\n\"classname\" \"target_speaker\"\n\"noise\" \"sound/test/hum.wav\"\n\"targetname\" \"once\"\n}\n",
         Files);
  r.Park();
  auto* Loop = r.First<TGameEntityTargetSpeaker>(0);
  auto* Once = r.First<TGameEntityTargetSpeaker>(1);
  ASSERT_TRUE(Loop->SampleInstance && Once->SampleInstance);
  EXPECT_TRUE(Loop->SampleInstance->Loop);
  r.Sounds();
  EXPECT_FALSE(Loop->SampleInstance->Playing()) << "spawnflag 2 is silent at load";
  Loop->Use(nullptr);
  r.Sounds();
  ASSERT_TRUE(Loop->SampleInstance->Playing());
  TZNT1SoundSampleVoice& v = VoiceOf(*Loop->SampleInstance);
  EXPECT_EQ(v.Volume, 49152);  // 0.75
  EXPECT_TRUE(v.MixToEffect);
  EXPECT_TRUE(v.Spatialization);
  EXPECT_TRUE(Vector3Compare(v.SpatializationOrigin, Vector3(10, 20, 30)));
  Loop->Use(nullptr);
  r.Sounds();
  EXPECT_FALSE(Loop->SampleInstance->Playing());
  // Two plays before a block start one voice; a play while it sounds starts none.
  Once->Use(nullptr);
  Once->Use(nullptr);
  r.Sounds();
  EXPECT_TRUE(Once->SampleInstance->Playing());
  Once->Use(nullptr);
  r.Sounds();
  EXPECT_EQ(ActiveVoices(*Once->SampleInstance->Sample), 1);
}

TEST(EntitySound, DoorReopenedWhileItsStartSoundPlaysKeepsOneVoice) {
  Room r({{Box(-64, -8, 0, 64, 8, 136)}}, World + "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"angle\" \"-1\"\n"
                                                  "\"CloseWhenIdle\" \"1\"\n\"speed\" \"4000\"\n}\n");
  r.Park();
  auto* Door = r.First<TGameEntityFuncDoor>();
  Door->Use(nullptr);
  r.Run(1);
  r.Sounds();
  ASSERT_TRUE(Door->StartSampleInstance->Playing());
  const int32_t Voice = Door->StartSampleInstance->VoiceIndex.load();
  EXPECT_EQ(VoiceOf(*Door->StartSampleInstance).Volume, 52429);  // 0.8
  // It arrives, closes at once and is sent out again: start requests while the voice sounds.
  for (int i = 0; i < 6; ++i) {
    r.Run(1);
    if (Door->MoverState == 0) Door->Use(nullptr);
    r.Sounds();
  }
  EXPECT_EQ(Door->StartSampleInstance->VoiceIndex.load(), Voice);
  EXPECT_EQ(ActiveVoices(*Door->StartSampleInstance->Sample), 1);
}

TEST(EntitySound, MusicIsQuietAndDryAndALocalPadSoundUnplaced) {
  gametest::Files Files = EntitySounds();
  Files.emplace_back("music/theme.wav", soundtest::Mono16(std::vector<int16_t>(4410, 500)));
  Room r({{Box(-64, -64, 0, 64, 64, 8), CONTENTS_TRIGGER}},
         "{\n\"classname\" \"worldspawn\"\n\"music\" \"music/theme.wav\"\n}\n"
         "{\n\"classname\" \"trigger_push\"\n\"model\" \"*1\"\n\"target\" \"aim\"\n}\n"
         "{\n\"classname\" \"target_position\"\n\"targetname\" \"aim\"\n\"origin\" \"0 0 300\"\n}\n",
         Files);
  r.Place(Vector3(0, 0, 30));
  auto* World = r.First<TGameEntityWorldSpawn>();
  ASSERT_NE(World->SampleInstance, nullptr);
  EXPECT_TRUE(World->SampleInstance->Loop);
  r.Sounds();
  ASSERT_TRUE(World->SampleInstance->Playing());
  EXPECT_EQ(VoiceOf(*World->SampleInstance).Volume, 16384);
  EXPECT_FALSE(VoiceOf(*World->SampleInstance).MixToEffect);
  auto* Pad = r.First<TGameEntityTriggerPush>();
  Pad->Touch(&r.PlayerEntity());
  r.Sounds();
  ASSERT_TRUE(Pad->SampleInstance->Playing());
  EXPECT_FALSE(VoiceOf(*Pad->SampleInstance).Spatialization);
  // A remote request is placed at the pad's centre.
  Pad->SampleInstance->Sample->Stop(Pad->SampleInstance->VoiceIndex.load());
  Pad->SampleInstance->Play(false);
  r.Sounds();
  ASSERT_TRUE(Pad->SampleInstance->Playing());
  EXPECT_TRUE(VoiceOf(*Pad->SampleInstance).Spatialization);
  EXPECT_TRUE(Vector3Compare(VoiceOf(*Pad->SampleInstance).SpatializationOrigin, Vector3(0, 0, 4)));
}

TEST(EntitySound, NameFallsBackToOggThenWav) {
  const std::vector<uint8_t> Any = gametest::Text("x");
  gametest::GameEngine Engine({{"sound/a/only.ogg", Any}, {"sound/b/plain", Any}, {"sound/b/plain.wav", Any},
                               {"sound/c/both.wav", Any}, {"sound/c/both.ogg", Any}, {"sound/d.x/noext.wav", Any}});
  struct Case {
    const char* Asked;
    const char* Found;
  };
  const Case Cases[] = {{"sound/a/only.wav", "sound/a/only.ogg"}, {"sound/c/both.wav", "sound/c/both.wav"},
                        {"sound/b/plain.mp3", "sound/b/plain.wav"}, {"sound/b/plain", "sound/b/plain"},
                        {"sound/d.x/noext", "sound/d.x/noext.wav"}, {"sound/none.wav", ""}, {"", ""}};
  for (const Case& c : Cases) EXPECT_EQ(FindSoundFile(&Engine, c.Asked), c.Found) << c.Asked;
}

TEST(EntitySound, FreedWhileItsVoicePlaysLeavesNoHandleBehind) {
  Room r({{Box(-64, -8, 0, 64, 8, 136)}}, World + "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"angle\" \"-1\"\n}\n");
  r.Park();
  auto* Door = r.First<TGameEntityFuncDoor>();
  Door->Use(nullptr);
  r.Run(1);
  r.Sounds();
  TGameEntitySound* Sound = Door->StartSampleInstance;
  ASSERT_TRUE(Sound->Playing());
  TZNT1SoundSample* Sample = Sound->Sample;
  Sample->IncRef();  // another owner keeps the sample alive
  r.Engine.SoundSystem->Lock();
  r.Game.GameEntities.reset();
  for (const auto& v : Sample->Voices) EXPECT_EQ(v->VoiceIndexPointer, nullptr);
  // Every voice of the shared sample is taken again; none may write into the freed sound.
  for (int i = 0; i < Sample->VoiceCount() + 1; ++i) Sample->Play(1.0f, 0.0f, 1.0f, nullptr);
  for (const auto& v : Sample->Voices) EXPECT_EQ(v->VoiceIndexPointer, nullptr);
  Sample->DecRef();
  r.Engine.SoundSystem->Unlock();
}

}  // namespace
