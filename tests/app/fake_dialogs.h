#pragma once
// Answers the program's dialogs during a test and records what they showed.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"

namespace VizuTest {

class FakeDialogs : public Vizu2000::TDialogPresenter {
 public:
  FakeDialogs() { Vizu2000::SetDialogs(this); }
  ~FakeDialogs() override { Vizu2000::SetDialogs(nullptr); }

  void MessageDialog(const std::string& text) override { messages.push_back(text); }
  void ErrorBox(const std::string& text) override {
    errors.push_back(text);
    if (whileErrorShown) whileErrorShown();
  }
  std::optional<std::string> BrowseFolder(QWidget*, const std::string& start) override {
    browseStarts.push_back(start);
    return browseAnswer;
  }

  std::vector<std::string> messages;
  std::vector<std::string> errors;
  std::vector<std::string> browseStarts;
  std::optional<std::string> browseAnswer;
  // Runs while an error box is "open": a modal box runs an event loop.
  std::function<void()> whileErrorShown;
};

}  // namespace VizuTest
