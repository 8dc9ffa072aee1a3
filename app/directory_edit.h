#pragma once
// A one-line edit with a button that opens the folder-browse dialog.
#include <QWidget>
#include <string>

class QLineEdit;
class QToolButton;

namespace Vizu2000 {

class TDirectoryEdit : public QWidget {
  Q_OBJECT
 public:
  explicit TDirectoryEdit(QWidget* parent = nullptr);

  std::string Text() const;
  void SetText(const std::string& text);
  QLineEdit* Edit() const { return edit_; }
  QToolButton* Button() const { return button_; }

  // Where the dialog opens: the text when it names an existing folder; the
  // folder last chosen (or the root) when the text is empty; else the root.
  std::string BrowseStart() const;
  // Opens the dialog; a chosen folder replaces the text.
  void Browse();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QLineEdit* edit_;
  QToolButton* button_;
  std::string lastChosen_;
};

}  // namespace Vizu2000
