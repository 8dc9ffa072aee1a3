#pragma once
// A repeating timer delivered on the window thread: OnTimer is called each
// time Interval milliseconds have elapsed while the timer is enabled (only
// while the thread processes its events).
//  - Enabling a timer that is already enabled changes nothing; it does not
//    restart the interval.
//  - Disabling and enabling again starts a full interval.
//  - Changing the interval of an enabled timer restarts it; setting the
//    interval it already has changes nothing.
//  - An interval of 0 (or below) never fires.
#include <functional>
#include <memory>

namespace Vizu2000 {

class TTimer {
 public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  int Interval() const { return interval_; }
  void SetInterval(int ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  std::function<void()> OnTimer;

 private:
  void Restart();

  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  int interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace Vizu2000
