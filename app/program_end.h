#pragma once
// The ways the program ends other than by a click on its close box: a polite
// kill or Ctrl+C ends with exit code 0 and keeps the settings, as a close of
// the window does.

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

// Printed when the program finds no desktop to open its window on.
void SayNoDesktop();

}  // namespace Vizu2000
