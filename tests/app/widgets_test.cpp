// The switch, the spin edit, the folder edit and the error box's text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <stdexcept>

#include "app/dialogs.h"
#include "app/directory_edit.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "fake_dialogs.h"

using namespace Vizu2000;

TEST(OnOffSwitch, RaisesOnlyOnChangeAfterStoringTheState) {
  TOnOffSwitch sw;
  std::vector<std::string> calls;
  sw.OnOn = [&](QObject* sender) {
    EXPECT_EQ(sender, &sw);
    calls.push_back(sw.StateOn() ? "on(seen on)" : "on(seen off)");
  };
  sw.OnOff = [&](QObject*) { calls.push_back(sw.StateOn() ? "off(seen on)" : "off(seen off)"); };

  sw.SetStateOn(false);  // already off
  EXPECT_TRUE(calls.empty());
  sw.SetStateOn(true);
  sw.SetStateOn(true);
  sw.SetStateOn(false);
  EXPECT_EQ(calls, (std::vector<std::string>{"on(seen on)", "off(seen off)"}));
}

TEST(OnOffSwitch, ClickAndSpaceToggleAndTakeFocus) {
  VizuTest::FakeDialogs dialogs;
  QWidget window;
  auto* sw = new TOnOffSwitch(&window);
  sw->setGeometry(7, 5, 50, 60);
  auto* other = new QLineEdit(&window);
  other->setGeometry(60, 5, 50, 20);
  window.show();
  QApplication::setActiveWindow(&window);
  other->setFocus();
  int ons = 0, offs = 0;
  sw->OnOn = [&](QObject*) { ++ons; };
  sw->OnOff = [&](QObject*) { ++offs; };

  QTest::mouseClick(sw, Qt::RightButton);
  EXPECT_FALSE(sw->StateOn());
  QTest::mouseClick(sw, Qt::LeftButton);
  EXPECT_TRUE(sw->StateOn());
  EXPECT_TRUE(sw->hasFocus());

  QTest::keyClick(sw, Qt::Key_Space);
  EXPECT_FALSE(sw->StateOn());
  QTest::keyClick(sw, Qt::Key_Space, Qt::ShiftModifier);
  EXPECT_FALSE(sw->StateOn());
  EXPECT_EQ(ons, 1);
  EXPECT_EQ(offs, 1);

  // An error from the handler reaches the error box; the state stays changed.
  sw->OnOn = [](QObject*) { throw std::runtime_error("'abc' is not a valid integer value"); };
  QTest::mouseClick(sw, Qt::LeftButton);
  EXPECT_TRUE(sw->StateOn());
  ASSERT_EQ(dialogs.errors.size(), 1u);
  EXPECT_EQ(dialogs.errors[0], "'abc' is not a valid integer value.");
}

TEST(OnOffSwitch, DrawsTwoDifferentPicturesAndAFocusFrame) {
  TOnOffSwitch sw;
  sw.resize(50, 60);
  const QImage off = sw.grab().toImage();
  sw.SetStateOn(true);
  const QImage on = sw.grab().toImage();
  EXPECT_NE(off, on);
}

TEST(ErrorBox, AppendsAPeriodOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(ErrorBoxText("Cannot create file /x/a.eml"), "Cannot create file /x/a.eml.");
  EXPECT_EQ(ErrorBoxText("Failed to create key TfrmMain"), "Failed to create key TfrmMain.");
  EXPECT_EQ(ErrorBoxText("done."), "done.");
  EXPECT_EQ(ErrorBoxText("what?!"), "what?!");  // '!' sorts below '.'
  EXPECT_EQ(ErrorBoxText("list,"), "list,");
  EXPECT_EQ(ErrorBoxText("path/"), "path/.");
  EXPECT_EQ(ErrorBoxText("caf\xC3\xA9"), "caf\xC3\xA9.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(SpinEdit, ValueReadsTheTextAndAssignmentsClamp) {
  TSpinEdit spin;
  spin.SetMinValue(1);
  spin.SetMaxValue(86400);
  spin.SetText("0");
  EXPECT_EQ(spin.Value(), 0);  // designed text, not clamped until assigned
  spin.SetText("abc");
  EXPECT_EQ(spin.Value(), 1);
  spin.SetValue(90000);
  EXPECT_EQ(spin.Text(), "86400");
  spin.SetValue(-5);
  EXPECT_EQ(spin.Text(), "1");
  spin.SetValue(60);
  spin.stepBy(1);
  EXPECT_EQ(spin.Value(), 61);
  spin.SetValue(86400);
  spin.stepBy(1);
  EXPECT_EQ(spin.Value(), 86400);
  spin.SetText("abc");
  spin.stepBy(1);  // "abc" reads as the minimum
  EXPECT_EQ(spin.Value(), 2);
}

TEST(SpinEdit, RefusesLettersAndClampsWhenLeft) {
  QWidget window;
  auto* spin = new TSpinEdit(&window);
  spin->SetMinValue(1);
  spin->SetMaxValue(86400);
  auto* other = new QLineEdit(&window);
  other->move(0, 40);
  window.show();
  QApplication::setActiveWindow(&window);
  spin->setFocus();
  spin->SetText("");
  QTest::keyClicks(spin, "1a2-+x");
  EXPECT_EQ(spin->Text(), "12-+");

  spin->SetText("999999");
  other->setFocus();
  EXPECT_EQ(spin->Text(), "86400");
  spin->setFocus();
  spin->SetText("0");
  other->setFocus();
  EXPECT_EQ(spin->Text(), "1");
  spin->setFocus();
  spin->SetText("42");
  other->setFocus();
  EXPECT_EQ(spin->Text(), "42");
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
  EXPECT_EQ(dialogs.browseStarts,
            (std::vector<std::string>{path, path + "/chosen", "/"}));

  TDirectoryEdit fresh;
  fresh.Browse();
  EXPECT_EQ(dialogs.browseStarts.back(), "/");
}
