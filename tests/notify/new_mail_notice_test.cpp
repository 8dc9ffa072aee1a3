// The new-mail notification as a desktop sees it: real polls of the window
// against a private Dovecot, and a notification service of the tests' own
// (tests/data/notification_sink.py) on a private session bus, run by run.sh.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QThread>
#include <fstream>

#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/new_mail_notice.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "mail/net/pop3_client.h"
#include "app/fake_dialogs.h"
#include "support/dovecot_server.h"
#include "support/loopback_script_server.h"
#include "support/server_process.h"

using namespace Vizu2000;

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");

std::string Message(const std::string& header) { return header + "\r\n\r\nHello.\r\n"; }

class NewMailNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENWICK_SETTINGS", Ini().c_str(), 1);
    dest_ = tmp_.path().toStdString() + "/mail";
    QDir().mkpath(QString::fromStdString(dest_));
  }
  void TearDown() override { unsetenv("QUENWICK_SETTINGS"); }
  std::string Ini() const { return tmp_.path().toStdString() + "/quenwick.ini"; }

  // A service that records every Notify call, once it is on the bus.
  void StartSink(bool silent = false) {
    // The system's interpreter, which Debian's python3-dbus serves; a
    // python3 first in PATH need not have it.
    std::vector<std::string> argv = {"/usr/bin/python3", VIZU_TEST_DATA "/notification_sink.py", record_};
    if (silent) argv.push_back("--silent");
    ASSERT_TRUE(sink_.start(argv, tmp_.path().toStdString() + "/sink.log"));
    QDBusConnectionInterface* daemon = QDBusConnection::sessionBus().interface();
    ASSERT_NE(daemon, nullptr) << "no session bus: run through run.sh";
    for (int i = 0; i < 500 && !daemon->isServiceRegistered(kService).value(); ++i) QThread::msleep(20);
    ASSERT_TRUE(daemon->isServiceRegistered(kService).value()) << VizuTest::readFile(tmp_.path().toStdString() + "/sink.log");
  }

  // The Notify calls the service received since the last look. A call of
  // the test's own goes last, on the window's connection to the bus: once
  // the service has it, it has everything the window sent before.
  std::vector<QJsonObject> Notices() {
    const QString marker = QStringLiteral("marker %1").arg(++markers_);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, "/org/freedesktop/Notifications", kService, "Notify");
    call << QString() << 0u << QString() << marker << QString() << QStringList() << QVariantMap() << -1;
    EXPECT_TRUE(QDBusConnection::sessionBus().send(call));
    for (int i = 0; i < 500; ++i) {
      std::vector<QJsonObject> calls;
      for (const QByteArray& line : QByteArray::fromStdString(VizuTest::readFile(record_)).split('\n'))
        if (!line.isEmpty()) calls.push_back(QJsonDocument::fromJson(line).object());
      if (!calls.empty() && calls.back()["summary"].toString() == marker) {
        std::vector<QJsonObject> fresh(calls.begin() + seen_, calls.end() - 1);
        seen_ = calls.size();
        return fresh;
      }
      QThread::msleep(20);
    }
    ADD_FAILURE() << "the service never saw " << marker.toStdString();
    return {};
  }

  void SwitchOn(TfrmMain& w, int port) {
    w.show();
    w.Security->setCurrentText("None");
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server_.userName()));
    w.Password->setText(QString::fromStdString(server_.password()));
    w.Port->setText(QString::number(port));
    w.DestDir->SetText(dest_);
    w.PollSecs->SetValue(3600);
    w.OnOff->SetStateOn(true);
    ASSERT_TRUE(w.TimerList->Active());
    w.TimerList->SetActive(false);
  }
  static void Poll(TfrmMain& w) { w.evGetMailTimer(w.evGetMail); }
  static bool StatusHas(const TfrmMain& w, const std::string& text) {
    return w.StatusText().find(text) != std::string::npos;
  }

  QTemporaryDir tmp_;
  std::string dest_;
  std::string record_ = tmp_.path().toStdString() + "/notices.jsonl";
  VizuTest::DovecotServer server_;
  VizuTest::ServerProcess sink_;
  VizuTest::FakeDialogs dialogs_;
  int markers_ = 0;
  std::size_t seen_ = 0;
};

}  // namespace

TEST_F(NewMailNoticeTest, OneNewMessageGivesOneNoticeThatNamesTheProgram) {
  // Encoded words in two character sets, and markup in the subject.
  server_.addMessage("0001", Message("From: =?iso-8859-1?Q?Ren=E9e_=D8deg=E5rd?= <renee@example.com>\r\n"
                                     "Subject: =?utf-8?B?Q2Fmw6kgPGI+VG9tICYgSmVycnk8L2I+?="));
  server_.start();
  StartSink();
  TfrmMain w;
  SwitchOn(w, server_.port());
  Poll(w);
  EXPECT_TRUE(StatusHas(w, " 1 new message saved")) << w.StatusText();

  const std::vector<QJsonObject> notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  const QJsonObject& n = notices[0];
  EXPECT_EQ(n["summary"].toString(), "New message");
  EXPECT_EQ(n["body"].toString(), QString::fromUtf8("Renée Ødegård: Café &lt;b&gt;Tom &amp; Jerry&lt;/b&gt;"));
  EXPECT_EQ(n["app_name"].toString(), "Quenwick");
  EXPECT_EQ(n["replaces_id"].toInt(), 0);
  // The desktop finds the menu entry, and with it the icon, by this name.
  const QString id = QString::fromLatin1(kDesktopId);
  EXPECT_EQ(n["hints"]["desktop-entry"].toArray(), (QJsonArray{"String", id}));
  EXPECT_EQ(n["app_icon"].toString(), id);
  EXPECT_TRUE(QFileInfo::exists(VIZU_SOURCE_DIR "/dist/" + id + ".desktop")) << id.toStdString();

  // Nothing new: nothing to say.
  Poll(w);
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
  EXPECT_TRUE(Notices().empty());
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(NewMailNoticeTest, ManyNewMessagesAreCountedAndTheFirstThreeNamed) {
  server_.addMessage("0001", Message("From: Ann <ann@example.com>\r\nSubject: first"));
  // No display name: the address stands in; control characters never reach the desktop.
  server_.addMessage("0002", Message("From: bob@example.com\r\nSubject: =?utf-8?Q?two=0Alines=1B[2J?="));
  server_.addMessage("0003", Message("From: Carl <carl@example.com>"));
  server_.start();
  StartSink();
  TfrmMain w;
  SwitchOn(w, server_.port());
  Poll(w);
  std::vector<QJsonObject> notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0]["summary"].toString(), "3 new messages");
  EXPECT_EQ(notices[0]["body"].toString(), "Ann: first\nbob@example.com: two lines [2J\nCarl: (no subject)");

  // Four more: all counted, three named, in the order they were fetched.
  const std::string longSubject(300, 'x');
  server_.addMessage("0004", Message("From: Dora <d@example.com>\r\nSubject: " + longSubject));
  for (const char* n : {"0005", "0006", "0007"})
    server_.addMessage(n, Message(std::string("From: N <n@example.com>\r\nSubject: ") + n));
  Poll(w);
  notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0]["summary"].toString(), "4 new messages");
  EXPECT_EQ(notices[0]["body"].toString(),
            QString::fromStdString("Dora: " + longSubject.substr(0, 120)) + QChar(0x2026) + "\nN: 0005\nN: 0006");
}

TEST_F(NewMailNoticeTest, NoNoticeWhenSwitchedOffOrWhenThePollFailed) {
  server_.addMessage("0001", Message("From: Ann <ann@example.com>\r\nSubject: first"));
  server_.start();
  StartSink();
  std::ofstream(Ini()) << "[TfrmMain]\nNotify=False\n";
  {
    TfrmMain w;
    SwitchOn(w, server_.port());
    Poll(w);
    EXPECT_TRUE(StatusHas(w, " 1 new message saved")) << w.StatusText();
    EXPECT_TRUE(Notices().empty());
  }

  // A poll that stored a message and then lost its server failed: no notice
  // for it, then or later.
  std::ofstream(Ini()) << "[TfrmMain]\nNotify=True\n";
  VizuTest::LoopbackScriptServer script;
  script.send("+OK ready\r\n").reply("+OK\r\n").reply("+OK\r\n").reply("+OK\r\n1 20\r\n2 20\r\n.\r\n")
      .reply("+OK\r\n1 lost\r\n2 later\r\n.\r\n")
      .reply("+OK\r\n" + Message("From: Lou <lou@example.com>\r\nSubject: cut short") + ".\r\n")
      .close();
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port());
  Poll(w);
  script.stop();
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(dest_ + "/lost.eml")));
  EXPECT_TRUE(StatusHas(w, " failed: ")) << w.StatusText();
  EXPECT_TRUE(Notices().empty());

  // The same window, well: its notice names only what this poll brought.
  server_.addMessage("0002", Message("From: Ann <ann@example.com>\r\nSubject: second"));
  w.POP->SetPort(server_.port());
  Poll(w);
  const std::vector<QJsonObject> notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0]["summary"].toString(), "New message");
  EXPECT_EQ(notices[0]["body"].toString(), "Ann: second");
}

// Run on a bus with no one to show notifications, and with no bus at all.
TEST_F(NewMailNoticeTest, WithoutANotificationServiceThePollGoesAsEver) {
  server_.addMessage("0001", Message("From: Ann <ann@example.com>\r\nSubject: first"));
  server_.start();
  TfrmMain w;
  SwitchOn(w, server_.port());
  Poll(w);
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
  EXPECT_TRUE(StatusHas(w, " 1 new message saved - next poll at ")) << w.StatusText();
  EXPECT_TRUE(dialogs_.errors.empty());
  if (!QDBusConnection::sessionBus().isConnected()) return;

  // A service that takes the call and never answers holds nothing up (a
  // wait for its answer would last D-Bus's 25 seconds).
  StartSink(true);
  server_.addMessage("0002", Message("From: Ann <ann@example.com>\r\nSubject: second"));
  QElapsedTimer clock;
  clock.start();
  Poll(w);
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_TRUE(StatusHas(w, " 1 new message saved")) << w.StatusText();
  const std::vector<QJsonObject> notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0]["body"].toString(), "Ann: second");
}
