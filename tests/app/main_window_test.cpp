// The main window: its controls, the settings check, switching on and off,
// and its settings across a restart.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLocale>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdint>

#include "app/directory_edit.h"
#include "app/form_storage.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "fake_dialogs.h"
#include "settings_file.h"
#include "mail/net/pop3_client.h"

using namespace Vizu2000;

namespace {

const char* kAllMissing =
    " No Server Name\n No User Name\n No Password\n No Port\n No Destination Directory\n\nCannot start!";

// A POP3 mailbox of one message on 127.0.0.1, served from the test's own
// event loop: the client waits for it by processing events.
class OneMessageServer {
 public:
  OneMessageServer() {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections;
        socket->write("+OK ready\r\n");
        QObject::connect(socket, &QTcpSocket::readyRead, [socket] {
          while (socket->canReadLine()) {
            const QByteArray command = socket->readLine().trimmed().toUpper();
            if (command.startsWith("LIST")) socket->write("+OK\r\n1 9\r\n.\r\n");
            else if (command.startsWith("UIDL")) socket->write("+OK\r\n1 id1\r\n.\r\n");
            else if (command.startsWith("RETR")) socket->write("+OK\r\nA: b\r\n\r\nc\r\n.\r\n");
            else socket->write("+OK\r\n");
          }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }
  int port() const { return server_.serverPort(); }
  int connections = 0;

 private:
  QTcpServer server_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dest_ = dir_.path().toStdString() + "/mail";
    QDir().mkpath(QString::fromStdString(dest_));
  }

  void FillValid(TfrmMain& w) {
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText("tester");
    w.Password->setText("secret");
    w.Port->setText("1");
    w.DestDir->SetText(dest_);
    w.PollSecs->SetValue(60);
  }
  std::string Ini() const { return settings_.Text(); }
  void WriteIni(const std::string& text) { settings_.Write(text); }

  QTemporaryDir dir_;
  VizuTest::TSettingsFile settings_{dir_.path().toStdString() + "/quenwick.ini"};
  std::string dest_;
  VizuTest::FakeDialogs dialogs_;
};

}  // namespace

TEST_F(MainWindowTest, ControlsHaveTheirDesignedNamesPlacesAndValues) {
  TfrmMain w;
  EXPECT_EQ(w.windowTitle(), "Quenwick");
  EXPECT_EQ(w.minimumSize(), QSize(TfrmMain::kClientWidth, TfrmMain::kClientHeight));
  const std::pair<const char*, QRect> places[] = {
      {"panSettings", {8, 8, 281, 260}}, {"ServerName", {104, 24, 161, 21}}, {"UserName", {104, 56, 161, 21}},
      {"Password", {104, 88, 161, 21}},  {"Port", {104, 120, 57, 21}},       {"DestDir", {104, 184, 161, 21}},
      {"PollSecs", {104, 216, 121, 21}}, {"Panel1", {8, 278, 281, 73}},      {"OnOff", {7, 5, 50, 60}},
      {"MemLog", {8, 9, 279, 261}}};
  for (const auto& [name, place] : places) {
    auto* widget = w.findChild<QWidget*>(name);
    ASSERT_NE(widget, nullptr) << name;
    EXPECT_EQ(widget->geometry(), place) << name;
  }
  // The check box may widen for a wide platform font, never past the panel.
  EXPECT_EQ(w.DelOnRet->pos(), QPoint(8, 152));
  EXPECT_GE(w.DelOnRet->width(), 249);
  EXPECT_LE(w.DelOnRet->geometry().right(), 281 - 4);
  EXPECT_EQ(w.findChild<QLabel*>("Label4")->text(), "Destination dir");
  // Its designed caption gives way to what the fetcher is doing.
  EXPECT_EQ(w.findChild<QLabel*>("Label8")->text(), "Switched off");
  EXPECT_EQ(w.Port->text(), "110");
  EXPECT_EQ(w.Port->toolTip(), "Mail server's POP3 port - typically 110");
  EXPECT_EQ(w.Password->echoMode(), QLineEdit::Password);
  EXPECT_EQ(w.DestDir->Text(), QDir::homePath().toStdString());
  EXPECT_EQ(w.PollSecs->Text(), "0");
  EXPECT_TRUE(w.MemLog->isReadOnly());
  EXPECT_TRUE(w.MemLog->isHidden());
  EXPECT_FALSE(w.OnOff->StateOn());
  EXPECT_EQ(w.POP->MailMessage(), w.MailMessage);

  w.show();
  QApplication::setActiveWindow(&w);
  w.ServerName->setFocus();
  const std::vector<QWidget*> order = {w.UserName, w.Password,        w.Port,     w.Security, w.DelOnRet,
                                       w.DestDir->Edit(), w.PollSecs, w.SignIn, w.OnOff};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
  // Anchors: settings and log follow every edge, the switch panel the bottom.
  w.resize(400, 500);
  EXPECT_EQ(w.panSettings->geometry(), QRect(8, 8, 385, 402));
  EXPECT_EQ(w.MemLog->geometry(), QRect(8, 9, 383, 403));
  EXPECT_EQ(w.Panel1->geometry(), QRect(8, 420, 385, 73));
}

TEST_F(MainWindowTest, TheCheckListsEveryProblemInOrder) {
  TfrmMain w;
  w.Port->clear();
  w.DestDir->SetText("");
  EXPECT_FALSE(w.ValidateSettings());
  ASSERT_EQ(dialogs_.messages.size(), 1u);
  EXPECT_EQ(dialogs_.messages[0], kAllMissing);

  // A file is not a folder; blanks are not empty.
  const std::string file = dest_ + "/a-file";
  QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
  w.ServerName->setText(" ");
  w.UserName->setText("u");
  w.Password->setText(" ");
  w.Port->setText(" ");
  w.DestDir->SetText(file);
  EXPECT_FALSE(w.ValidateSettings());
  EXPECT_EQ(dialogs_.messages.back(), " Invalid Destination Directory\n\nCannot start!");

  w.UserName->clear();
  w.DestDir->SetText(dest_);
  EXPECT_FALSE(w.ValidateSettings());
  EXPECT_EQ(dialogs_.messages.back(), " No User Name\n\nCannot start!");
  w.UserName->setText("u");
  EXPECT_TRUE(w.ValidateSettings());
  EXPECT_EQ(dialogs_.messages.size(), 3u);
}

TEST_F(MainWindowTest, SwitchingOnHandsOverTheSettingsAndShowsTheLog) {
  TfrmMain w;
  w.show();
  FillValid(w);
  w.ServerName->setText(" host ");
  w.DelOnRet->setChecked(true);
  w.PollSecs->SetValue(1);
  w.OnOff->SetStateOn(true);
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_EQ(w.evGetMail->Interval(), 1000);
  EXPECT_EQ(w.POP->Host(), " host ");  // taken unchanged
  EXPECT_TRUE(w.POP->DeleteOnRetrieve());
  EXPECT_EQ(w.POP->UserName(), "tester");
  EXPECT_EQ(w.POP->Password(), "secret");
  EXPECT_EQ(w.POP->Port(), 1);
  EXPECT_TRUE(w.MemLog->isVisible());
  EXPECT_FALSE(w.panSettings->isVisible());
  EXPECT_TRUE(w.TimerList->Active());
  EXPECT_TRUE(w.evGetMail->Enabled());
  EXPECT_EQ(w.LogLines(), std::vector<std::string>{"Next poll in 1 seconds, please wait"});

  w.OnOff->SetStateOn(false);
  EXPECT_FALSE(w.TimerList->Active());
  EXPECT_FALSE(w.MemLog->isVisible());
  EXPECT_TRUE(w.panSettings->isVisible());
  EXPECT_EQ(w.LogLines().size(), 1u);  // the log keeps its lines

  w.PollSecs->SetValue(86400);
  w.Port->setText("70000");  // no range check
  w.OnOff->SetStateOn(true);
  EXPECT_EQ(w.evGetMail->Interval(), 86'400'000);
  EXPECT_EQ(w.POP->Port(), 70000);
  EXPECT_EQ(w.LogLines(), std::vector<std::string>{"Next poll in 86400 seconds, please wait"});
}

TEST_F(MainWindowTest, AFailedCheckPutsTheSwitchBack) {
  TfrmMain w;
  w.show();
  FillValid(w);
  w.Password->clear();
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  EXPECT_EQ(dialogs_.messages, std::vector<std::string>{" No Password\n\nCannot start!"});
  EXPECT_FALSE(w.OnOff->StateOn());
  EXPECT_TRUE(w.panSettings->isVisible());
  EXPECT_FALSE(w.TimerList->Active());
  EXPECT_EQ(w.POP->Host(), "");  // no setting handed over
}

TEST_F(MainWindowTest, APortThatIsNotANumberStopsSwitchOnHalfWay) {
  TfrmMain w;
  w.show();
  FillValid(w);
  w.Port->setText("abc");
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  EXPECT_EQ(dialogs_.errors, std::vector<std::string>{"'abc' is not a valid integer value."});
  EXPECT_TRUE(w.OnOff->StateOn());
  EXPECT_EQ(w.POP->Host(), "127.0.0.1");
  EXPECT_EQ(w.POP->Password(), "secret");
  EXPECT_EQ(w.evGetMail->Interval(), 60000);
  EXPECT_TRUE(w.panSettings->isVisible());
  EXPECT_FALSE(w.MemLog->isVisible());
  EXPECT_FALSE(w.TimerList->Active());

  EXPECT_EQ(w.StatusText(), "Not started: the port \"abc\" is not a number");

  // Off, fix, on again: a normal start, and the status names the first poll.
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  w.Port->setText("110");
  const QDateTime before = QDateTime::currentDateTime();
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  EXPECT_TRUE(w.TimerList->Active());
  EXPECT_EQ(w.POP->Port(), 110);
  EXPECT_EQ(dialogs_.errors.size(), 1u);
  const QLocale locale = QLocale::system();
  const std::string at1 = locale.toString(before.addSecs(60).time(), QLocale::ShortFormat).toStdString();
  const std::string at2 =
      locale.toString(QDateTime::currentDateTime().addSecs(60).time(), QLocale::ShortFormat).toStdString();
  EXPECT_TRUE(w.StatusText() == "Next poll at " + at1 || w.StatusText() == "Next poll at " + at2) << w.StatusText();
  EXPECT_EQ(w.Label8->text().toStdString(), w.StatusText());
  // Switched off, nothing is due: the status says so.
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  EXPECT_EQ(w.StatusText(), "Switched off");
}

TEST_F(MainWindowTest, FirstStartRestoresDefaultsAndWritesNothingUntilClosed) {
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.PollSecs->Text(), "1");
    EXPECT_FALSE(w.OnOff->StateOn());
    EXPECT_EQ(w.Port->text(), "110");
    EXPECT_EQ(Ini(), "");
    EXPECT_TRUE(dialogs_.messages.empty());
  }
  // Destroyed without a close request: saved then, with Visible=1.
  EXPECT_NE(Ini().find("Visible=1"), std::string::npos);
  EXPECT_NE(Ini().find("PollSecs_Value=1\n"), std::string::npos);
  EXPECT_NE(Ini().find("OnOff_StateOn=False"), std::string::npos);
}

TEST_F(MainWindowTest, SettingsSurviveARestartAndTheSwitchComesBackLast) {
  {
    TfrmMain w;
    w.show();
    FillValid(w);
    w.Password->setText(" pass word ");
    w.DelOnRet->setChecked(true);
    w.PollSecs->SetValue(300);
    w.setGeometry(40, 50, 310, 370);
    w.OnOff->SetStateOn(true);
    w.close();
    EXPECT_TRUE(w.TimerList->Active());  // saved while polling
  }
  const std::string ini = Ini();
  EXPECT_NE(ini.find("[TfrmMain]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Password_Text=pass word\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("OnOff_StateOn=True"), std::string::npos);
  EXPECT_NE(ini.find("DelOnRet_Checked=True"), std::string::npos);
  EXPECT_NE(ini.find("PollSecs_Value=300"), std::string::npos);
  EXPECT_NE(ini.find("Visible=0"), std::string::npos);

  TfrmMain again;
  again.show();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_EQ(again.geometry(), QRect(40, 50, 310, 370));
  EXPECT_EQ(again.Password->text(), "pass word");
  EXPECT_EQ(again.ServerName->text(), "127.0.0.1");
  EXPECT_EQ(again.DestDir->Text(), dest_);
  EXPECT_TRUE(again.DelOnRet->isChecked());
  EXPECT_TRUE(again.OnOff->StateOn());
  EXPECT_TRUE(again.TimerList->Active());
  EXPECT_EQ(again.POP->Password(), "pass word");
  EXPECT_EQ(again.evGetMail->Interval(), 300000);
  EXPECT_EQ(again.LogLines(), std::vector<std::string>{"Next poll in 300 seconds, please wait"});
}

TEST_F(MainWindowTest, RestoredValuesAreCheckedLikeTypedOnes) {
  const std::string base = "[TfrmMain]\nServerName_Text=h\nUserName_Text=u\nPassword_Text=p\nPort_Text=110\n";
  WriteIni(base + "DestDir_Text=" + dest_ + "\nPollSecs_Value=90000\nOnOff_StateOn=true\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.PollSecs->Text(), "86400");
    EXPECT_TRUE(w.OnOff->StateOn());
    EXPECT_TRUE(w.TimerList->Active());
  }
  WriteIni(base + "DestDir_Text=" + dest_ + "\nPollSecs_Value=0\nOnOff_StateOn=yes\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.PollSecs->Text(), "1");
    EXPECT_FALSE(w.OnOff->StateOn());
    EXPECT_FALSE(w.TimerList->Active());
  }
  // The folder is gone by the next start: the check speaks, the switch stays off.
  WriteIni(base + "DestDir_Text=" + dest_ + "/gone\nOnOff_StateOn=True\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(dialogs_.messages, std::vector<std::string>{" Invalid Destination Directory\n\nCannot start!"});
    EXPECT_FALSE(w.OnOff->StateOn());
    EXPECT_TRUE(w.panSettings->isVisible());
  }
  // A bad port during the restore: no error box, the switch stays on, no polling.
  WriteIni(base + "DestDir_Text=" + dest_ + "\nPort_Text=abc\nPollSecs_Value=abc\nOnOff_StateOn=True\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_TRUE(dialogs_.errors.empty());
    EXPECT_TRUE(w.OnOff->StateOn());
    EXPECT_FALSE(w.TimerList->Active());
    EXPECT_EQ(w.PollSecs->Text(), "0");
    // Silent no more: the status says why nothing happens.
    EXPECT_EQ(w.Label8->text().toStdString(), "Not started: the port \"abc\" is not a number");
  }
}

TEST_F(MainWindowTest, StoreFailuresReachTheErrorBox) {
  // A placement value of another type stops the restore: nothing restored,
  // so nothing saved at close.
  WriteIni("[TfrmMain]\nFlags=@Rect(1 2 3 4)\nServerName_Text=h\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(dialogs_.errors, std::vector<std::string>{"Invalid data type for 'Flags'"});  // "'" sorts below "."
    EXPECT_EQ(w.ServerName->text(), "");
    w.close();
  }
  EXPECT_NE(Ini().find("@Rect"), std::string::npos);

  // A store that cannot be written: the close goes on, the destruction tries again.
  dialogs_.errors.clear();
  const std::string blocker = dir_.path().toStdString() + "/a-file";
  QFile(QString::fromStdString(blocker)).open(QIODevice::WriteOnly);
  setenv("QUENWICK_SETTINGS", (blocker + "/quenwick.ini").c_str(), 1);
  {
    TfrmMain w;
    w.show();
    w.close();
  }
  EXPECT_EQ(dialogs_.errors, std::vector<std::string>(2, "Failed to create key TfrmMain."));
}

TEST_F(MainWindowTest, TheLogIsPaintedAtMostOncePerFrameAndEndsUpToDate) {
  // Paints of the log, counted where they reach it.
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  TfrmMain w;
  w.show();
  FillValid(w);
  w.OnOff->SetStateOn(true);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QTest::qWait(100);
  w.MemLog->viewport()->installEventFilter(&counter);

  // A burst of lines, each followed by event processing as the poll does.
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < 400; ++i) {
    w.LogAdd("Getting UIDL...");
    QCoreApplication::processEvents();
  }
  w.LogAdd("Disconnecting...");
  QCoreApplication::processEvents();
  const qint64 elapsed = clock.elapsed();
  EXPECT_LE(counter.paints, elapsed / 16 + 2) << "in " << elapsed << " ms";

  // The last state is painted once the burst is over.
  const int before = counter.paints;
  QTest::qWait(150);
  EXPECT_GT(counter.paints, before);
  EXPECT_TRUE(w.MemLog->updatesEnabled());
  EXPECT_EQ(w.LogLines().size(), 402u);
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
}

TEST_F(MainWindowTest, TheLogKeepsABoundedNumberOfLines) {
  // A hostile listing can make a poll add lines without end.
  TfrmMain w;
  for (int i = 0; i < 10'500; ++i) w.LogAdd("line " + std::to_string(i));
  const std::vector<std::string> lines = w.LogLines();
  ASSERT_EQ(lines.size(), 10'000u);
  EXPECT_EQ(lines.front(), "line 500");
  EXPECT_EQ(lines.back(), "line 10499");
  // The widget catches up within a frame and holds no more than it may.
  QTest::qWait(60);
  EXPECT_EQ(w.MemLog->toPlainText().toStdString(), [&] {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
  }());
  for (int i = 0; i < 1'500; ++i) {
    w.LogAdd("more " + std::to_string(i));
    if (i % 100 == 0) QTest::qWait(25);
  }
  QTest::qWait(60);
  EXPECT_LE(w.MemLog->blockCount(), 11'000);
  EXPECT_TRUE(w.MemLog->toPlainText().endsWith("\nmore 1499"));
  w.LogClear();
  w.LogAdd("fresh");
  QTest::qWait(60);
  EXPECT_EQ(w.MemLog->toPlainText().toStdString(), "fresh");
}

// The Security drop-down: beyond the designed window, so it must fit in
// without moving anything, and follow the port's usual values.
namespace {

std::vector<std::string> Items(const QComboBox& box) {
  std::vector<std::string> items;
  for (int i = 0; i < box.count(); ++i) items.push_back(box.itemText(i).toStdString());
  return items;
}

// Picks an item the way a user does, with the keyboard.
void Choose(TfrmMain& w, const char* choice) {
  w.Security->setFocus();
  const int target = w.Security->findText(choice);
  while (w.Security->currentIndex() != target)
    QTest::keyClick(w.Security, w.Security->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
}

}  // namespace

TEST_F(MainWindowTest, SecuritySitsRightOfThePortInTheFreeSpace) {
  TfrmMain w;
  w.show();
  EXPECT_EQ(w.Security->parentWidget(), w.panSettings);
  EXPECT_EQ(Items(*w.Security), (std::vector<std::string>{"None", "STARTTLS", "TLS"}));
  EXPECT_EQ(w.Security->currentText(), "STARTTLS");
  for (const char* words : {"None:", "STARTTLS:", "TLS:", "110", "995", "password"})
    EXPECT_TRUE(w.Security->toolTip().contains(words)) << words;

  // At the designed size and grown: on the port's row, right of it, inside
  // the panel's frame, and over no other control of the panel.
  for (const QSize size : {QSize(TfrmMain::kClientWidth, TfrmMain::kClientHeight), QSize(500, 600)}) {
    w.resize(size);
    const QRect place = w.Security->geometry();
    EXPECT_EQ(place.top(), w.Port->geometry().top());
    EXPECT_GT(place.left(), w.Port->geometry().right());
    EXPECT_TRUE(w.panSettings->contentsRect().contains(place));
    EXPECT_GE(place.width(), w.Security->sizeHint().width()) << w.Security->sizeHint().width();
    for (QWidget* other : w.panSettings->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (other == w.Security) continue;
      EXPECT_FALSE(place.intersects(other->geometry())) << other->objectName().toStdString();
    }
  }
}

TEST_F(MainWindowTest, ChoosingSecurityMovesTheUsualPortOnlyAlong) {
  TfrmMain w;
  w.show();
  QApplication::setActiveWindow(&w);
  const std::pair<const char*, const char*> steps[] = {
      {"TLS", "995"}, {"STARTTLS", "110"}, {"TLS", "995"}, {"None", "110"}, {"STARTTLS", "110"}};
  for (const auto& [choice, port] : steps) {
    Choose(w, choice);
    EXPECT_EQ(w.Port->text(), port) << choice;
  }
  // A port of the user's own stays whatever is chosen.
  w.Port->setText("2110");
  Choose(w, "TLS");
  EXPECT_EQ(w.Port->text(), "2110");
  w.Port->setText("2995");
  Choose(w, "None");
  EXPECT_EQ(w.Port->text(), "2995");
}

TEST_F(MainWindowTest, SecurityAndTrustAreStoredAndHandedToTheClient) {
  // No key (a file from before the choice existed): STARTTLS.
  WriteIni("[TfrmMain]\nPort_Text=110\n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.Security->currentText(), "STARTTLS");
    EXPECT_EQ(w.TrustedCertificate(), "");
    FillValid(w);
    w.OnOff->SetStateOn(true);
    EXPECT_EQ(w.POP->TLSMode(), tmSTLS);
    w.OnOff->SetStateOn(false);
    Choose(w, "TLS");
    w.close();
  }
  EXPECT_NE(Ini().find("\nSecurity=TLS\n"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("\nTrustedCertificate=\n"), std::string::npos) << Ini();

  // Restored as stored, the port too: a stored choice does not move it.
  const std::string fingerprint = "AB:CD:EF:01";
  WriteIni("[TfrmMain]\nPort_Text=110\nSecurity=tls\nTrustedCertificate= " + fingerprint + " \n");
  {
    TfrmMain w;
    w.show();
    EXPECT_EQ(w.Security->currentText(), "TLS");
    EXPECT_EQ(w.Port->text(), "110");
    FillValid(w);
    w.OnOff->SetStateOn(true);
    EXPECT_EQ(w.POP->TLSMode(), tmImplicitTLS);
    EXPECT_EQ(w.POP->TrustedCertificate(), fingerprint);
    w.OnOff->SetStateOn(false);
    Choose(w, "None");
    w.OnOff->SetStateOn(true);
    EXPECT_EQ(w.POP->TLSMode(), tmNone);
    w.close();
  }
  EXPECT_NE(Ini().find("\nSecurity=None\n"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("\nTrustedCertificate=" + fingerprint + "\n"), std::string::npos) << Ini();

  // A value the drop-down does not know leaves its default.
  WriteIni("[TfrmMain]\nSecurity=SSL\n");
  TfrmMain w;
  w.show();
  EXPECT_EQ(w.Security->currentText(), "STARTTLS");
}

TEST_F(MainWindowTest, APollThatFailsEveryTickOpensOneErrorBoxAndKeepsReporting) {
  OneMessageServer server;
  TfrmMain w;
  w.show();
  FillValid(w);
  w.Port->setText(QString::number(server.port()));
  w.Security->setCurrentText("None");
  // Every poll fails to create its file: the destination is a plain file.
  const std::string notAFolder = dest_ + "/file";
  QFile f(QString::fromStdString(notAFolder));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  ASSERT_TRUE(w.TimerList->Active());
  w.DestDir->SetText(notAFolder);
  w.evGetMail->SetInterval(100);

  // Where each poll's stack stands: polls nested in box after box would
  // stand deeper every time.
  std::vector<std::uintptr_t> depths;
  w.POP->OnProgress = [&](TComponent*, int, int) {
    char probe = 0;
    depths.push_back(reinterpret_cast<std::uintptr_t>(&probe));
  };
  int connectionsWhileOpen = 0;
  std::string statusWhileOpen;
  dialogs_.whileErrorShown = [&] {
    if (dialogs_.errors.size() > 1) return;
    const int before = server.connections;
    QElapsedTimer open;
    open.start();
    while (open.elapsed() < 1500) QTest::qWait(20);
    connectionsWhileOpen = server.connections - before;
    statusWhileOpen = w.Label8->toolTip().toStdString();
  };
  QElapsedTimer waited;
  waited.start();
  while (dialogs_.errors.empty() && waited.elapsed() < 10000) QTest::qWait(20);
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  // The polls went on behind the one box, each reported where it is seen.
  EXPECT_GE(connectionsWhileOpen, 5);
  EXPECT_NE(statusWhileOpen.find("failed: the destination is not a folder"), std::string::npos) << statusWhileOpen;
  EXPECT_EQ(w.LogLines().back(), "The destination is not a folder");
  ASSERT_GE(depths.size(), 5u);
  const auto [low, high] = std::minmax_element(depths.begin(), depths.end());
  EXPECT_LT(*high - *low, 4096u);
  // Once it is closed, the next failure has a box of its own.
  waited.restart();
  while (dialogs_.errors.size() < 2 && waited.elapsed() < 10000) QTest::qWait(20);
  EXPECT_EQ(dialogs_.errors.size(), 2u);
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
}

TEST_F(MainWindowTest, TheStatusKeepsTheReasonInViewAndSaysWhenSwitchedOff) {
  TfrmMain w;
  w.show();
  EXPECT_EQ(w.StatusText(), "Switched off");
  EXPECT_EQ(w.Label8->text(), "Switched off");
  FillValid(w);
  w.Port->setText("1");  // nothing listens there
  w.Security->setCurrentText("None");
  w.ServerName->setText("127.0.0.1");
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  w.evGetMailTimer(w.evGetMail);
  const std::string status = w.StatusText();
  EXPECT_NE(status.find(" failed: connection refused - next poll at "), std::string::npos) << status;
  EXPECT_EQ(w.Label8->toolTip().toStdString(), status);
  // A narrow window: the reason stays whole, the next poll's time gives way.
  w.resize(TfrmMain::kClientWidth, TfrmMain::kClientHeight);
  w.Label8->resize(120, w.Label8->height());
  w.evGetMailTimer(w.evGetMail);
  const std::string shown = w.Label8->text().toStdString();
  EXPECT_EQ(shown.find("next poll"), std::string::npos) << shown;
  EXPECT_EQ(shown.rfind(w.StatusText().substr(0, 6), 0), 0u) << shown;
  EXPECT_EQ(w.Label8->toolTip().toStdString(), w.StatusText());
  QTest::mouseClick(w.OnOff, Qt::LeftButton);
  EXPECT_NE(w.StatusText().find("failed: connection refused - switched off"), std::string::npos) << w.StatusText();
}

// The sign-in choice: beyond the designed window like Security, reached by
// keyboard, and OAuth2 asks for no password but for a client id and a
// browser sign-in.
TEST_F(MainWindowTest, SignInSitsRightOfThePollSecondsAndOAuth2AsksForWhatItNeeds) {
  WriteIni("[TfrmMain]\nOAuthProvider=Google\n");
  TfrmMain w;
  w.show();
  QApplication::setActiveWindow(&w);
  EXPECT_EQ(w.SignIn->accessibleName(), "Sign-in method");
  EXPECT_TRUE(w.SignInPassword->isChecked());
  for (const QSize size : {QSize(TfrmMain::kClientWidth, TfrmMain::kClientHeight), QSize(500, 600)}) {
    w.resize(size);
    const QRect place = w.SignIn->geometry();
    EXPECT_EQ(place.top(), w.PollSecs->geometry().top());
    EXPECT_GT(place.left(), w.PollSecs->geometry().right());
    EXPECT_TRUE(w.panSettings->contentsRect().contains(place));
    EXPECT_GE(place.width(), w.SignIn->sizeHint().width()) << w.SignIn->sizeHint().width();
    for (QWidget* other : w.panSettings->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (other == w.SignIn) continue;
      EXPECT_FALSE(place.intersects(other->geometry())) << other->objectName().toStdString();
    }
  }
  // Space opens the menu; the arrows and Return choose OAuth2.
  w.SignIn->setFocus();
  QTimer::singleShot(0, [] {
    QWidget* menu = QApplication::activePopupWidget();
    ASSERT_NE(menu, nullptr);
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QTest::keyClick(w.SignIn, Qt::Key_Space);
  ASSERT_TRUE(QTest::qWaitFor([&] { return w.SignInOAuth2->isChecked(); }, 5000));
  // Google's preset: its server on 995 over TLS; the password gives way.
  EXPECT_EQ(w.ServerName->text(), "pop.gmail.com");
  EXPECT_EQ(w.Port->text(), "995");
  EXPECT_EQ(w.Security->currentText(), "TLS");
  EXPECT_FALSE(w.Password->isEnabled());

  FillValid(w);
  w.Password->clear();
  EXPECT_FALSE(w.ValidateSettings());
  EXPECT_EQ(dialogs_.messages.back(), " No OAuth2 client id in the settings file\n\nCannot start!");
  w.close();
  EXPECT_NE(Ini().find("\nSignIn=OAuth2\n"), std::string::npos) << Ini();

  WriteIni(Ini() + "OAuthClientId=123.apps.example\n");
  TfrmMain again;
  again.show();
  EXPECT_TRUE(again.SignInOAuth2->isChecked());
  FillValid(again);
  again.Password->clear();
  EXPECT_FALSE(again.ValidateSettings());
  EXPECT_EQ(dialogs_.messages.back(), " Not signed in: Sign-in > Sign in with the browser\n\nCannot start!");
  again.close();
  EXPECT_NE(Ini().find("\nOAuthClientId=123.apps.example\n"), std::string::npos) << Ini();
}
