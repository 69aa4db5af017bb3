#include <gtest/gtest.h>

#include "platform/clock/Clock.h"
#include "prefPane/pane/Controls.h"
#include "prefPane/pane/RunLoop.h"

namespace tarvex::pane {
namespace {

using K = Control::Kind;

TEST(ControlModel, APersonsUseChangesTheControlQuietlyAndAnswersItsAction) {
  ControlModel model;
  auto& check = model.Add<Button>(K::CheckBox, "check", "changePrefs:");
  auto& onTab = model.Add<Button>(K::CheckBox, "hidden", "toggle:", "Discovery");
  auto& push = model.Add<Button>(K::PushButton, "push", "syncNow:");
  auto& menu = model.Add<PopUpButton>(K::PopUp, "menu", "changePrefs:");
  auto& text = model.Add<TextField>(K::TextField, "text");
  auto& tabs = model.Add<TabView>(K::TabView, "tabs");
  tabs.addItem("Discovery", "Discovery");
  menu.setItems({"a", "b", "c"});
  std::vector<std::string> told;
  model.SetObserver([&](const Control& c) { told.push_back(c.name()); });

  check.setState(kStateMixed);
  EXPECT_EQ(model.PersonClick("check"), "changePrefs:");
  EXPECT_EQ(check.state(), kStateOn);  // mixed turns on
  EXPECT_EQ(model.PersonClick("check"), "changePrefs:");
  EXPECT_EQ(check.state(), kStateOff);
  EXPECT_EQ(model.PersonClick("push"), "syncNow:");
  EXPECT_EQ(model.PersonSelect("menu", 2), "changePrefs:");
  EXPECT_EQ(menu.indexOfSelectedItem(), 2);
  EXPECT_EQ(model.PersonSelect("menu", 3), "");  // no such item
  EXPECT_EQ(model.PersonType("text", "proxy:8080"), "");
  EXPECT_EQ(text.stringValue(), "proxy:8080");
  EXPECT_EQ(told, std::vector<std::string>{"check"});  // only the code's own change

  push.setEnabled(false);
  EXPECT_EQ(model.PersonClick("push"), "");
  EXPECT_EQ(model.PersonClick("hidden"), "toggle:");
  tabs.removeItemWithIdentifier("Discovery");
  EXPECT_EQ(model.PersonClick("hidden"), "");  // its tab is gone
  EXPECT_EQ(onTab.state(), kStateOn);
  EXPECT_EQ(model.PersonClick("nothing"), "");
}

TEST(RunLoop, TimersFollowTheSettableClockAndStopWhenInvalidated) {
  FakeClock clock(1000);
  RunLoop loop(clock);
  int repeating = 0, once = 0;
  uint64_t timer = loop.AddTimer(2, true, [&] { ++repeating; });
  loop.AddTimer(5, false, [&] { ++once; });
  for (int second = 0; second < 10; ++second) {
    clock.Advance(1);
    loop.RunOnce(0);
  }
  EXPECT_EQ(repeating, 5);
  EXPECT_EQ(once, 1);
  clock.Advance(60);  // a late timer fires once, not for every missed turn
  loop.RunOnce(0);
  EXPECT_EQ(repeating, 6);
  EXPECT_TRUE(loop.Invalidate(timer));
  EXPECT_FALSE(loop.IsScheduled(timer));
  clock.Advance(10);
  loop.RunOnce(0);
  EXPECT_EQ(repeating, 6);
}

TEST(RunLoop, RunUntilEndsWithItsConditionOrItsLimitOnTheClock) {
  FakeClock clock(0);
  RunLoop loop(clock);
  int polls = 0;
  loop.AddSource([&] { return ++polls == 3 ? 1 : 0; });
  EXPECT_TRUE(loop.RunUntil([&] { return polls >= 3; }, 10));
  int64_t before = clock.Now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 10));  // waits on the fake clock only
  EXPECT_GE(clock.Now() - before, 10);
  EXPECT_LE(clock.Now() - before, 11);
}

}  // namespace
}  // namespace tarvex::pane
