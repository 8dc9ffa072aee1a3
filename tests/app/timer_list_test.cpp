// The poll timer's firing rule, driven by a tick source the test controls.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/timer_list.h"
#include "fake_dialogs.h"

using namespace Vizu2000;

TEST(TimerList, FiresFromIntervalLess50MsAndMeasuresFromTheFiring) {
  std::uint64_t now = 10'000;
  TTimerList list;
  list.SetTickSource([&] { return now; });
  TTimerEvent* event = list.Add();
  event->SetInterval(1000);
  int fired = 0;
  event->OnTimer = [&](TComponent* sender) {
    EXPECT_EQ(sender, event);
    ++fired;
  };

  now += 5000;
  list.Tick();  // inactive
  list.SetActive(true);  // the interval starts now
  now += 949;
  list.Tick();
  EXPECT_EQ(fired, 0);
  now += 1;
  list.Tick();
  EXPECT_EQ(fired, 1);
  now += 949;
  list.Tick();
  EXPECT_EQ(fired, 1);
  now += 2000;  // a late tick fires once, not twice
  list.Tick();
  list.Tick();
  EXPECT_EQ(fired, 2);

  event->SetEnabled(false);
  now += 5000;
  list.Tick();
  event->SetEnabled(true);
  list.SetActive(false);
  list.Tick();
  EXPECT_EQ(fired, 2);
  list.SetActive(true);
  now += 900;
  list.Tick();
  EXPECT_EQ(fired, 2);

  // The platform timer: never under 100 ms; none at all for interval 0,
  // which therefore never fires.
  event->SetInterval(20);
  EXPECT_EQ(list.TimerPeriod(), 100);
  event->SetInterval(86'400'000);
  EXPECT_EQ(list.TimerPeriod(), 86'400'000);
  event->SetInterval(0);
  EXPECT_EQ(list.TimerPeriod(), 0);
  now += 1'000'000;
  list.Tick();
  EXPECT_EQ(fired, 2);
}

TEST(TimerList, AnEscapedErrorGoesToTheErrorBoxAndTheTimerGoesOn) {
  VizuTest::FakeDialogs dialogs;
  std::uint64_t now = 0;
  TTimerList list;
  list.SetTickSource([&] { return now; });
  TTimerEvent* event = list.Add();
  event->SetInterval(1000);
  event->OnTimer = [&](TComponent*) { throw std::runtime_error("Cannot create file /gone/x.eml"); };
  list.SetActive(true);
  for (int i = 0; i < 2; ++i) {
    now += 1000;
    list.Tick();
  }
  EXPECT_EQ(dialogs.errors, std::vector<std::string>(2, "Cannot create file /gone/x.eml."));
  EXPECT_TRUE(list.Active());
}
