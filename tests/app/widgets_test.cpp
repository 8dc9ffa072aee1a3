// The switch, the spin edit, the folder edit and the error box's text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <stdexcept>

#include "app/directory_edit.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "fake_dialogs.h"

using namespace Vizu2000;

TEST(OnOffSwitch, ClickAndSpaceToggleAndRaiseOnlyOnChange) {
  VizuTest::FakeDialogs dialogs;
  QWidget window;
  auto* sw = new TOnOffSwitch(&window);
  sw->setGeometry(7, 5, 50, 60);
  auto* other = new QLineEdit(&window);
  other->move(60, 5);
  window.show();
  QApplication::setActiveWindow(&window);
  other->setFocus();
  const QImage offPicture = sw->grab().toImage();
  std::vector<std::string> calls;
  sw->OnOn = [&](QObject* sender) {
    EXPECT_EQ(sender, sw);
    calls.push_back(sw->StateOn() ? "on" : "on, state not stored");
  };
  sw->OnOff = [&](QObject*) { calls.push_back(sw->StateOn() ? "off, state not stored" : "off"); };

  sw->SetStateOn(false);  // already off
  QTest::mouseClick(sw, Qt::RightButton);
  EXPECT_TRUE(calls.empty());
  QTest::mouseClick(sw, Qt::LeftButton);
  EXPECT_TRUE(sw->hasFocus());
  sw->SetStateOn(true);
  QTest::keyClick(sw, Qt::Key_Space);
  QTest::keyClick(sw, Qt::Key_Space, Qt::ShiftModifier);
  EXPECT_EQ(calls, (std::vector<std::string>{"on", "off"}));
  sw->SetStateOn(true);
  EXPECT_NE(sw->grab().toImage(), offPicture);

  // An error from a handler goes to the error box; the new state stays.
  sw->OnOff = [](QObject*) { throw std::runtime_error("'abc' is not a valid integer value"); };
  QTest::mouseClick(sw, Qt::LeftButton);
  EXPECT_FALSE(sw->StateOn());
  EXPECT_EQ(dialogs.errors, std::vector<std::string>{"'abc' is not a valid integer value."});
}

TEST(ErrorBox, AppendsAPeriodOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(ErrorBoxText("Failed to create key TfrmMain"), "Failed to create key TfrmMain.");
  EXPECT_EQ(ErrorBoxText("path/"), "path/.");
  EXPECT_EQ(ErrorBoxText("caf\xC3\xA9"), "caf\xC3\xA9.");
  EXPECT_EQ(ErrorBoxText("done."), "done.");
  EXPECT_EQ(ErrorBoxText("what?!"), "what?!");  // '!' sorts below '.'
  EXPECT_EQ(ErrorBoxText("list,"), "list,");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(SpinEdit, ReadsTheTextClampsAssignmentsAndRefusesLetters) {
  QWidget window;
  auto* spin = new TSpinEdit(&window);
  spin->SetMinValue(1);
  spin->SetMaxValue(86400);
  auto* other = new QLineEdit(&window);
  other->move(0, 40);
  window.show();
  QApplication::setActiveWindow(&window);

  spin->SetText("0");
  EXPECT_EQ(spin->Value(), 0);  // the designed text stays until assigned
  spin->SetText("abc");
  EXPECT_EQ(spin->Value(), 1);
  spin->stepBy(1);
  EXPECT_EQ(spin->Text(), "2");
  spin->SetValue(90000);
  EXPECT_EQ(spin->Text(), "86400");
  spin->stepBy(1);
  EXPECT_EQ(spin->Text(), "86400");
  spin->SetValue(-5);
  EXPECT_EQ(spin->Text(), "1");

  spin->setFocus();
  spin->SetText("");
  QTest::keyClicks(spin, "1a2-+x");
  EXPECT_EQ(spin->Text(), "12-+");
  for (const auto& [typed, left] : {std::pair{"999999", "86400"}, {"0", "1"}, {"42", "42"}}) {
    spin->setFocus();
    spin->SetText(typed);
    other->setFocus();
    EXPECT_EQ(spin->Text(), left);
  }
}

TEST(DirectoryEdit, BrowseStartsWhereTheTextPointsAndKeepsTheChoice) {
  VizuTest::FakeDialogs dialogs;
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString();
  TDirectoryEdit edit;
  edit.SetText(path);
  dialogs.browseAnswer = path + "/chosen";
  edit.Browse();
  EXPECT_EQ(edit.Text(), path + "/chosen");
  edit.SetText("");
  dialogs.browseAnswer.reset();  // cancelled
  edit.Browse();
  EXPECT_EQ(edit.Text(), "");
  edit.SetText(path + "/missing");
  edit.Browse();
  TDirectoryEdit fresh;
  fresh.Browse();
  EXPECT_EQ(dialogs.browseStarts, (std::vector<std::string>{path, path + "/chosen", "/", "/"}));
}
