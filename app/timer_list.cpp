#include "app/timer_list.h"

#include <QTimer>
#include <algorithm>

#include "app/dialogs.h"
#include "platform/date_time.h"

namespace Vizu2000 {

namespace {
constexpr int kMinPeriod = 100;
constexpr int kEarlyToleranceMs = 50;
}  // namespace

TTimerEvent::TTimerEvent(TTimerList* list) : TComponent(list), list_(list) {}

void TTimerEvent::SetInterval(int milliseconds) {
  interval_ = milliseconds;
  list_->Restart();
}

void TTimerEvent::SetEnabled(bool value) {
  enabled_ = value;
  list_->Restart();
}

TTimerList::TTimerList(TComponent* owner)
    : TComponent(owner), tickSource_([] { return GetTickCount64(); }), timer_(new QTimer) {
  timer_->setTimerType(Qt::PreciseTimer);
  // Queued, so that the platform timer is free again while a handler runs
  // and a later tick can reach a nested event loop.
  connect(timer_.get(), &QTimer::timeout, this, &TTimerList::Tick, Qt::QueuedConnection);
}

TTimerList::~TTimerList() {
  timer_->stop();
}

TTimerEvent* TTimerList::Add() {
  auto* event = new TTimerEvent(this);
  events_.push_back(event);
  return event;
}

void TTimerList::SetActive(bool value) {
  if (value == active_) return;
  active_ = value;
  if (active_) {
    const std::uint64_t now = TickCount();
    for (TTimerEvent* event : events_) event->lastFired_ = now;
  }
  Restart();
}

int TTimerList::TimerPeriod() const {
  int period = 0;
  for (const TTimerEvent* event : events_)
    if (event->enabled_ && event->interval_ > 0)
      period = period == 0 ? event->interval_ : std::min(period, event->interval_);
  return period == 0 ? 0 : std::max(period, kMinPeriod);
}

void TTimerList::Restart() {
  const int period = active_ ? TimerPeriod() : 0;
  if (period == 0) {
    timer_->stop();
  } else if (!timer_->isActive() || timer_->interval() != period) {
    timer_->start(period);
  }
}

void TTimerList::Tick() {
  if (!active_) return;
  // Copy: a handler may add events or deactivate the list.
  const std::vector<TTimerEvent*> events = events_;
  for (TTimerEvent* event : events) {
    if (!active_) return;
    if (!event->enabled_ || event->interval_ <= 0) continue;
    const std::uint64_t now = TickCount();
    const auto elapsed = static_cast<std::int64_t>(now) - static_cast<std::int64_t>(event->lastFired_);
    if (elapsed < static_cast<std::int64_t>(event->interval_) - kEarlyToleranceMs) continue;
    event->lastFired_ = now;
    if (!event->repeating_) event->SetEnabled(false);
    if (event->OnTimer) RunGuarded([event] { event->OnTimer(event); });
  }
}

}  // namespace Vizu2000
