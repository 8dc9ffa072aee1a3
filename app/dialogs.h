#pragma once
// Everything modal that the program shows goes through one presenter, so a
// test can answer the dialogs instead of a person.
#include <exception>
#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace Vizu2000 {

class TDialogPresenter {
 public:
  virtual ~TDialogPresenter() = default;
  // A modal message with one OK button and no icon, centred on the screen.
  virtual void MessageDialog(const std::string& text) = 0;
  // The error box: stop icon, one OK button.
  virtual void ErrorBox(const std::string& text) = 0;
  // The folder-browse dialog; nothing when cancelled.
  virtual std::optional<std::string> BrowseFolder(QWidget* parent, const std::string& start) = 0;
};

// The presenter in use (Qt's dialogs unless replaced); SetDialogs(nullptr)
// puts Qt's back.
TDialogPresenter& Dialogs();
void SetDialogs(TDialogPresenter* presenter);

// The program is ending and nobody is left to answer: every open modal
// dialog returns as if cancelled, innermost first, and from now on the
// messages go to stderr and a folder browse is cancelled at once.
void DismissDialogs();

// Caption of every dialog and error box.
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& title);

// The error box's text: "." is appended when the message is not empty and
// its last character sorts above ".".
std::string ErrorBoxText(const std::string& message);
void ShowException(const std::exception& error);

// Runs an event handler; an error that escapes it goes to the error box, so
// it never unwinds through the event loop.
void RunGuarded(const std::function<void()>& handler);

}  // namespace Vizu2000
