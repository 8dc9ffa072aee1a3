#pragma once
// A list of timer events driven by one periodic platform timer. On every
// tick an enabled event fires when at least its interval less 50 ms has
// passed since it last fired, so a tick that comes a little early still
// counts. Ticks are handled as queued window events, so a tick that falls due
// while a handler waits for the network runs inside that wait.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/component.h"
#include "platform/events.h"

class QTimer;

namespace Vizu2000 {

class TTimerList;

class TTimerEvent : public TComponent {
 public:
  explicit TTimerEvent(TTimerList* list);

  int Interval() const { return interval_; }
  void SetInterval(int milliseconds);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  bool Repeating() const { return repeating_; }
  void SetRepeating(bool value) { repeating_ = value; }
  std::uint64_t LastFired() const { return lastFired_; }

  TNotifyEvent OnTimer;

 private:
  friend class TTimerList;
  TTimerList* list_;
  int interval_ = 1000;
  bool enabled_ = true;
  bool repeating_ = true;
  std::uint64_t lastFired_ = 0;
};

class TTimerList : public QObject, public TComponent {
  Q_OBJECT
 public:
  using TTickSource = std::function<std::uint64_t()>;

  explicit TTimerList(TComponent* owner = nullptr);
  ~TTimerList() override;

  // The new event is owned by the list.
  TTimerEvent* Add();
  bool Active() const { return active_; }
  void SetActive(bool value);

  // Milliseconds of the steady clock unless replaced (tests drive time).
  void SetTickSource(TTickSource source) { tickSource_ = std::move(source); }
  std::uint64_t TickCount() const { return tickSource_(); }

  // The period of the platform timer: the shortest positive interval of the
  // enabled events, never under 100 ms; 0 when no event can fire.
  int TimerPeriod() const;
  // One tick of the platform timer: fires the events that are due. An error
  // raised by a handler goes to the error box and the list keeps running.
  void Tick();

 private:
  friend class TTimerEvent;
  void Restart();
  std::vector<TTimerEvent*> events_;
  TTickSource tickSource_;
  std::unique_ptr<QTimer> timer_;
  bool active_ = false;
};

}  // namespace Vizu2000
