#include "platform/event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace Vizu2000 {

void ProcessMessages() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForEvents(int maxWaitMs) {
  if (!QCoreApplication::instance()) return;
  if (maxWaitMs < 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return;
  }
  // A single-shot timer bounds the wait: its event wakes the blocked loop.
  QTimer guard;
  guard.setSingleShot(true);
  guard.start(maxWaitMs);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace Vizu2000
