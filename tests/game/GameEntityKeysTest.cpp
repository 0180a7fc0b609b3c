// Class keys and their defaults, read through the map load.
#include <gtest/gtest.h>

#include "EntityRoomSupport.h"

using namespace roomtest;

namespace {

bool Same(const TZNT1Vector4& a, const TZNT1Vector4& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}

TEST(EntityKeys, DefaultsApplyToZeroOrMissingKeys) {
  Room r({{Box(-64, -8, 0, 64, 8, 136)}, {Box(-8, -16, 32, 8, 16, 64)}, {Box(-8, -16, 100, 8, 16, 132)}},
         "{\n\"classname\" \"worldspawn\"\n}\n"
         "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"speed\" \"0\"\n}\n"
         "{\n\"classname\" \"func_button\"\n\"model\" \"*2\"\n\"speed\" \"100\"\n}\n"
         "{\n\"classname\" \"func_button\"\n\"model\" \"*3\"\n\"lip\" \"0\"\n}\n"
         "{\n\"classname\" \"func_timer\"\n\"wait\" \"1\"\n\"random\" \"2\"\n}\n"
         "{\n\"classname\" \"target_delay\"\n\"delay\" \"0\"\n\"wait\" \"3\"\n}\n"
         "{\n\"classname\" \"target_delay\"\n}\n"
         "{\n\"classname\" \"item_health\"\n}\n"
         "{\n\"classname\" \"Worldspawn\"\n}\n"
         "{\n\"classname\" \"trigger_hurt\"\n}\n"
         "{\n\"classname\" \"func_rotating\"\n}\n"
         "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"color\" \"0.5 0.25 1\"\n\"lip\" \"3\"\n}\n");
  r.Park();
  auto* Door = r.First<TGameEntityFuncDoor>(0);
  EXPECT_FLOAT_EQ(Door->Speed, 400.0f);
  EXPECT_FLOAT_EQ(Door->Wait, 2.0f);
  EXPECT_FLOAT_EQ(Door->Lip, 8.0f);
  EXPECT_EQ(Door->Damage, 2);
  EXPECT_FLOAT_EQ(Door->Accel, 400.0f);
  EXPECT_TRUE(Same(Door->Color, Vector4(0, 0, 0, 1))) << "an absent colour reads black";
  auto* Coloured = r.First<TGameEntityFuncDoor>(1);
  EXPECT_TRUE(Same(Coloured->Color, Vector4(0.5f, 0.25f, 1, 1)));
  EXPECT_FLOAT_EQ(Coloured->Lip, 3.0f);
  EXPECT_TRUE(Same(r.First<TGameEntityWorldSpawn>()->Color, Vector4(0, 0, 0, 1)));
  auto* Button = r.First<TGameEntityFuncButton>(0);
  EXPECT_FLOAT_EQ(Button->Speed, 40.0f);
  EXPECT_FLOAT_EQ(Button->Lip, 4.0f);
  EXPECT_FLOAT_EQ(r.First<TGameEntityFuncButton>(1)->Lip, 0.0f);
  EXPECT_TRUE(Button->AutoUpdateCollisionAABB);
  auto* Timer = r.First<TGameEntityFuncTimer>();
  EXPECT_FLOAT_EQ(Timer->RandomEx, 1.0f - 1.0f / 60.0f);
  EXPECT_FALSE(Timer->Active);
  EXPECT_FLOAT_EQ(r.First<TGameEntityTargetDelay>(0)->Wait, 3.0f);
  EXPECT_FLOAT_EQ(r.First<TGameEntityTargetDelay>(1)->Wait, 1.0f);
  auto* Item = r.First<TGameEntityItem>();
  ASSERT_NE(Item, nullptr);
  EXPECT_EQ(Item->EntityType, ET_ITEM);
  EXPECT_EQ(Item->NumChildren, 0) << "no loadable model: an item with no visible parts";
  int32_t Unknown = 0;
  for (TGameEntity* e : r.E().Items)
    if (e && e->EntityType == ET_UNKNOWN) ++Unknown;
  EXPECT_EQ(Unknown, 1) << "\"Worldspawn\" has no class";
  EXPECT_EQ(r.First<TGameEntityTriggerHurt>()->Damage, 5);
  auto* Rot = r.First<TGameEntityFuncRotating>();
  EXPECT_FLOAT_EQ(Rot->Speed, 100.0f);
  EXPECT_DOUBLE_EQ(Rot->InvSpeed, 3.6);
  // Switches: doors and buttons all three, triggers visible and touchable only.
  EXPECT_TRUE(Door->MapModelVisible && Door->MapModelCollision && Door->MapModelTouchable);
  auto* Hurt = r.First<TGameEntityTriggerHurt>();
  EXPECT_TRUE(Hurt->MapModelVisible && !Hurt->MapModelCollision && Hurt->MapModelTouchable);
  EXPECT_FALSE(Timer->MapModelVisible || Timer->MapModelCollision || Timer->MapModelTouchable);
}

}  // namespace
