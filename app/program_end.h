#pragma once
// The ways the program ends other than by a click on its close box: a polite
// kill or Ctrl+C, and a display that goes away under it. Both end with exit
// code 0 and keep the settings, as a close of the window does.
#include <functional>

class QString;

namespace Vizu2000 {

// SIGTERM and SIGINT call RequestEnd on the window thread. A second signal
// before the program is gone ends it at once, the way it would without this
// handling. Needs the application object.
void EndOnSignals();

// Answers every open modal dialog as cancelled (and every later one at once)
// and leaves every running event loop, exec() of the application included.
// The caller of exec() then closes the main window, which saves the
// settings; exec() must not be entered once EndRequested().
void RequestEnd();
bool EndRequested();

// Call before the application object is made. Qt ends the process itself
// (exit or abort) when the connection to the display breaks, and aborts when
// the platform cannot start; instead the program says so and ends with exit
// code 0. Every other message goes where it went before.
void EndCleanlyOnDisplayLoss();

// Whether a message from Qt reports that the display connection broke.
bool IsDisplayLossMessage(const QString& text);

// While one lives, a display loss first runs save (on the window thread
// only: elsewhere widgets must not be touched), then ends the program.
class TSaveOnDisplayLoss {
 public:
  explicit TSaveOnDisplayLoss(std::function<void()> save);
  ~TSaveOnDisplayLoss();
  TSaveOnDisplayLoss(const TSaveOnDisplayLoss&) = delete;
  TSaveOnDisplayLoss& operator=(const TSaveOnDisplayLoss&) = delete;
};

// Printed when the program finds no desktop to open its window on.
void SayNoDesktop();

}  // namespace Vizu2000
