// The entity-list parser and the typed getters.
#include <gtest/gtest.h>

#include "world/ZNT1Entity.h"

namespace {

std::unique_ptr<TZNT1Entities> Parse(const std::string& Text) {
  auto e = std::make_unique<TZNT1Entities>();
  ParseEntities(*e, Text);
  return e;
}

}  // namespace

TEST(Entity, ParsesPairsPerLineAndSkipsEmptyOnes) {
  TZNT1Entities e;
  ParseEntities(e, "{\r\n\"classname\" \"worldspawn\"\n\"message\" \"\"\n\"origin\" \"1 2 3\" trailing\n}\n{\n}");
  ASSERT_EQ(e.Count(), 2);
  const TZNT1Entity* w = e.GetEntity(0);
  ASSERT_EQ(w->Names.Count(), 2);
  EXPECT_EQ(w->GetString("classname"), "worldspawn");
  EXPECT_FALSE(w->Exist("message"));
  EXPECT_EQ(w->GetVector("origin").z, 3.0f);
  EXPECT_EQ(e.GetEntity(1)->Names.Count(), 0);
  EXPECT_EQ(e.GetEntity(2), nullptr);
  EXPECT_EQ(e.GetEntity(-1), nullptr);
  // Appends to what the list holds.
  ParseEntities(e, "{\"a\" \"b\"}");
  EXPECT_EQ(e.Count(), 3);
}

TEST(Entity, BracesInsideQuotesActAsBraces) {
  // A "}" ends the pair at that byte; a "{" starts a new entity.
  auto e = Parse("{\n\"key\" \"val}ue\"\n}");
  ASSERT_EQ(e->Count(), 1);
  EXPECT_EQ(e->GetEntity(0)->GetString("key"), "val");
  auto f = Parse("{\n\"key\" \"a{b\"\n}");
  ASSERT_EQ(f->Count(), 2);
  EXPECT_FALSE(f->GetEntity(0)->Exist("key"));
  EXPECT_EQ(f->GetEntity(1)->GetString("key"), "ab");
}

TEST(Entity, ManyQuotesOnOneLineNeitherOverflowNorStore) {
  std::string Line = "{\n";
  for (int i = 0; i < 600; ++i) Line += "\"x\" ";
  Line += "\n\"k\" \"v\"\n}";
  auto e = Parse(Line);
  ASSERT_EQ(e->Count(), 1);
  EXPECT_EQ(e->GetEntity(0)->GetString("x"), "x");  // tokens 1 and 3 of that line
  EXPECT_EQ(e->GetEntity(0)->GetString("k"), "v");
}

TEST(Entity, Getters) {
  TZNT1Entity e;
  e.Add("Model", "*12");
  e.Add("letters", "abc");
  e.Add("hex", "$1F");
  e.Add("hex2", "0x10");
  e.Add("neg", "-7");
  e.Add("twoblanks", "1  2 3");
  e.Add("tabs", "1\t2\t3");
  e.Add("float", "2.5");
  e.Add("bad", "nan");
  e.Add("model", "*99");  // a repeated key: the first wins
  EXPECT_EQ(e.GetInteger("model", -1), 12);
  EXPECT_EQ(e.GetInteger("letters", -1), -1);
  EXPECT_EQ(e.GetInteger("missing", 5), 5);
  EXPECT_EQ(e.GetInteger("hex", 0), 31);
  EXPECT_EQ(e.GetInteger("hex2", 0), 16);
  EXPECT_EQ(e.GetInteger("neg", 0), -7);
  const TZNT1Vector3 v = e.GetVector("twoblanks");
  EXPECT_EQ(v.x, 1.0f);
  EXPECT_EQ(v.y, 0.0f);
  EXPECT_EQ(v.z, 2.0f);
  const TZNT1Vector3 t = e.GetVector("tabs");
  EXPECT_EQ(t.y, 2.0f);
  EXPECT_EQ(t.z, 3.0f);
  const TZNT1Vector3 r = e.GetRGB("tabs");  // tabs stay inside the first component
  EXPECT_EQ(r.y, 0.0f);
  EXPECT_EQ(e.GetFloat("FLOAT"), 2.5f);
  EXPECT_EQ(e.GetFloat("bad"), 0.0f);
  EXPECT_EQ(e.GetFloat("missing"), 0.0f);
  EXPECT_EQ(e.GetString("missing"), "");
  EXPECT_EQ(e.GetVector("missing").x, 0.0f);
}

TEST(Entity, HasFieldComparesTheFirstValueMatch) {
  TZNT1Entity e;
  e.Add("target", "t1");
  e.Add("targetname", "t1");
  EXPECT_TRUE(e.HasField("TARGET", "T1"));
  EXPECT_FALSE(e.HasField("targetname", "t1"));  // the first value t1 stands at index 0
  EXPECT_FALSE(e.HasField("missing", "t1"));
}

TEST(Entity, SubListsReferToTheOwnersEntities) {
  auto e = Parse("{\"classname\" \"a\"}{\"classname\" \"b\"}{\"classname\" \"A\"}");
  auto Sub = e->GetEntities("classname", "a");
  ASSERT_EQ(Sub->Count(), 2);
  EXPECT_TRUE(Sub->SubList);
  EXPECT_EQ(Sub->GetEntity(1), e->GetEntity(2));
  Sub.reset();  // frees no entity
  EXPECT_EQ(e->GetEntity(0)->GetString("classname"), "a");
  e->SetEntity(7, nullptr);
  EXPECT_EQ(e->Count(), 3);
}
