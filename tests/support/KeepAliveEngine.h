#pragma once
// A dedicated engine that counts the loading screen's keep-alive calls of a long load; a forced
// report, or one that moves the bar, fails the test.
#include <gtest/gtest.h>

#include "core/ZNT1Engine.h"

class KeepAliveEngine : public TZNT1Engine {
 public:
  KeepAliveEngine() : TZNT1Engine(&CreateGameOfClass<TZNT1Game>, true) {}
  void ShowLoadProgress(bool Force, float Progress) override {
    ++Calls;
    EXPECT_FALSE(Force);
    EXPECT_EQ(Progress, LastProgress);
  }
  int Calls = 0;
};
