#include "platform/timer.h"

#include <QTimer>

namespace Vizu2000 {

struct TTimer::TImpl {
  QTimer timer;
};

TTimer::TTimer() : impl_(std::make_unique<TImpl>()) {
  impl_->timer.setSingleShot(false);
  impl_->timer.setTimerType(Qt::PreciseTimer);  // a time-out must not fire early
  QObject::connect(&impl_->timer, &QTimer::timeout, [this] {
    if (OnTimer) OnTimer();
  });
}

TTimer::~TTimer() {
  impl_->timer.stop();
  QObject::disconnect(&impl_->timer, nullptr, nullptr, nullptr);
}

void TTimer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) Restart();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_) {
    Restart();
  } else {
    impl_->timer.stop();
  }
}

void TTimer::Restart() {
  impl_->timer.stop();
  if (interval_ > 0) impl_->timer.start(interval_);
}

}  // namespace Vizu2000
