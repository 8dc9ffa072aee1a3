// The poll timer's firing rule, driven by a tick source the test controls.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <stdexcept>

#include "app/timer_list.h"
#include "fake_dialogs.h"
#include "platform/event_pump.h"

using namespace Vizu2000;

namespace {

struct Clock {
  std::uint64_t now = 10'000;
};

}  // namespace

TEST(TimerList, FiresFromIntervalLess50MsAndMeasuresFromTheFiring) {
  Clock clock;
  TTimerList list;
  list.SetTickSource([&] { return clock.now; });
  TTimerEvent* event = list.Add();
  event->SetInterval(1000);
  int fired = 0;
  event->OnTimer = [&](TComponent* sender) {
    EXPECT_EQ(sender, event);
    ++fired;
  };

  list.Tick();  // inactive: nothing
  clock.now += 5000;
  list.Tick();
  EXPECT_EQ(fired, 0);

  list.SetActive(true);  // records the tick count now
  clock.now += 949;
  list.Tick();
  EXPECT_EQ(fired, 0);
  clock.now += 1;  // 950 ms: within 50 ms of the interval
  list.Tick();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(event->LastFired(), clock.now);
  clock.now += 949;
  list.Tick();
  EXPECT_EQ(fired, 1);
  clock.now += 2000;  // a late tick fires once, not twice
  list.Tick();
  list.Tick();
  EXPECT_EQ(fired, 2);

  event->SetEnabled(false);
  clock.now += 5000;
  list.Tick();
  EXPECT_EQ(fired, 2);
  event->SetEnabled(true);
  list.SetActive(false);
  list.Tick();
  EXPECT_EQ(fired, 2);
  // Re-activating starts the interval afresh.
  list.SetActive(true);
  clock.now += 900;
  list.Tick();
  EXPECT_EQ(fired, 2);
}

TEST(TimerList, PeriodNeverUnder100MsAndZeroIntervalNeverFires) {
  Clock clock;
  TTimerList list;
  list.SetTickSource([&] { return clock.now; });
  TTimerEvent* event = list.Add();
  int fired = 0;
  event->OnTimer = [&](TComponent*) { ++fired; };
  event->SetInterval(20);
  EXPECT_EQ(list.TimerPeriod(), 100);
  event->SetInterval(86'400'000);
  EXPECT_EQ(list.TimerPeriod(), 86'400'000);
  event->SetInterval(0);
  EXPECT_EQ(list.TimerPeriod(), 0);
  list.SetActive(true);
  clock.now += 1'000'000;
  list.Tick();
  EXPECT_EQ(fired, 0);
}

TEST(TimerList, AnEscapedErrorGoesToTheErrorBoxAndTheTimerGoesOn) {
  VizuTest::FakeDialogs dialogs;
  Clock clock;
  TTimerList list;
  list.SetTickSource([&] { return clock.now; });
  TTimerEvent* event = list.Add();
  event->SetInterval(1000);
  int fired = 0;
  event->OnTimer = [&](TComponent*) {
    ++fired;
    throw std::runtime_error("Cannot create file /gone/x.eml");
  };
  list.SetActive(true);
  clock.now += 1000;
  list.Tick();
  clock.now += 1000;
  list.Tick();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(dialogs.errors,
            (std::vector<std::string>{"Cannot create file /gone/x.eml.", "Cannot create file /gone/x.eml."}));
  EXPECT_TRUE(list.Active());
}

// With the real clock and platform timer: a handler that waits in the event
// loop for longer than the interval sees the next tick run inside it.
TEST(TimerList, ATickDueDuringAHandlerRunsNestedInItsEventProcessing) {
  TTimerList list;
  TTimerEvent* event = list.Add();
  event->SetInterval(100);
  int depth = 0, maxDepth = 0, fired = 0;
  event->OnTimer = [&](TComponent*) {
    ++fired;
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    if (fired == 1) {
      QElapsedTimer waited;
      waited.start();
      while (waited.elapsed() < 400 && fired < 2) WaitForEvents(50);
    }
    --depth;
  };
  list.SetActive(true);
  QElapsedTimer total;
  total.start();
  while (fired < 2 && total.elapsed() < 3000) WaitForEvents(50);
  list.SetActive(false);
  EXPECT_GE(fired, 2);
  EXPECT_EQ(maxDepth, 2);
}
