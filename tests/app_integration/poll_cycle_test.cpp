// Poll cycles of the real window against a private Dovecot POP3 server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <fstream>

#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/program_end.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "platform/error.h"
#include "platform/streams.h"
#include "support/dovecot_server.h"
#include "support/loopback_script_server.h"
#include "support/server_process.h"
#include "support/test_certificate.h"
#include "../app/fake_dialogs.h"

using namespace Vizu2000;

namespace {

const std::string kPlain =
    "From: Ann <ann@example.com>\r\n"
    "To: bob@example.com\r\n"
    "Subject: plain\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    ".a line that starts with a dot\r\n"
    "\r\n"
    "Ann\r\n";

const std::string kMultipart =
    "From: Carl <carl@example.com>\r\n"
    "To: bob@example.com\r\n"
    "Subject: with a file\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
    "\r\n"
    "See attached.\r\n"
    "--b1\r\n"
    "Content-Type: application/octet-stream; name=\"x.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"x.bin\"\r\n"
    "\r\n"
    "AAECAwQFBgcICQ==\r\n"
    "--b1--\r\n";

// A scripted server that greets, accepts USER and PASS, and answers LIST
// with list.
VizuTest::LoopbackScriptServer& LoggedIn(VizuTest::LoopbackScriptServer& script, const std::string& list) {
  return script.send("+OK ready\r\n").reply("+OK\r\n").reply("+OK\r\n").reply(list);
}

int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);  // nothing listens there now
  return ntohs(addr.sin_port);
}

// A server on 127.0.0.1 that takes every connection and greets it with
// `greeting`, or not at all when it is empty; served from the test's own
// event loop, which the client runs while it waits.
class GreetingServer {
 public:
  explicit GreetingServer(QByteArray greeting) : greeting_(std::move(greeting)) {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections;
        if (!greeting_.isEmpty()) socket->write(greeting_);
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
          ++closed;
          socket->deleteLater();
        });
      }
    });
  }
  int port() const { return server_.serverPort(); }
  int connections = 0;
  int closed = 0;

 private:
  QByteArray greeting_;
  QTcpServer server_;
};

class PollCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENWICK_SETTINGS", (tmp_.path() + "/quenwick.ini").toStdString().c_str(), 1);
    dest_ = tmp_.path().toStdString() + "/mail";
    QDir().mkpath(QString::fromStdString(dest_));
  }
  void TearDown() override { unsetenv("QUENWICK_SETTINGS"); }

  // A window switched on against the server, its timer stopped so that the
  // test runs the cycles itself.
  // The server listens in the clear: these polls are about the cycle, not
  // the connection's protection.
  void SwitchOn(TfrmMain& w, int port, const std::string& password, bool deleteOnRetrieve,
                const char* security = "None") {
    w.show();
    w.Security->setCurrentText(security);
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server_.userName()));
    w.Password->setText(QString::fromStdString(password));
    w.Port->setText(QString::number(port));
    w.DestDir->SetText(dest_);
    w.DelOnRet->setChecked(deleteOnRetrieve);
    w.PollSecs->SetValue(3600);
    w.OnOff->SetStateOn(true);
    ASSERT_TRUE(w.TimerList->Active());
    w.TimerList->SetActive(false);
  }

  std::string File(const std::string& name) const { return ReadWholeFile(dest_ + "/" + name); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const QString& n : QDir(QString::fromStdString(dest_)).entryList(QDir::Files | QDir::Hidden))
      names.push_back(n.toStdString());
    return names;
  }

  // "Connecting at <date and time>" + end, where the time is taken within
  // the cycle that ran between the two samples.
  static void ExpectConnectLine(const std::string& line, const std::string& before, const std::string& after,
                                const std::string& end) {
    EXPECT_TRUE(line == "Connecting at " + before + end || line == "Connecting at " + after + end) << line;
  }

  // One poll cycle and its log, the connect line checked to end with `end`
  // and to tell a time taken within the cycle.
  std::vector<std::string> Poll(TfrmMain& w, const std::string& end) {
    const std::string before = TfrmMain::LogDateTime();
    w.evGetMailTimer(w.evGetMail);
    const std::string after = TfrmMain::LogDateTime();
    const std::vector<std::string> log = w.LogLines();
    if (log.empty())
      ADD_FAILURE() << "no log";
    else
      ExpectConnectLine(log[0], before, after, end);
    return log;
  }

  // The server with a certificate of its own for 127.0.0.1, started.
  VizuTest::TestCertificate ServeTls() {
    const VizuTest::TestCertificate certificate =
        VizuTest::makeTestCertificate(tmp_.path().toStdString(), "server", "IP:127.0.0.1");
    server_.enableTls(certificate.certificate, certificate.key);
    server_.start();
    return certificate;
  }

  // A poll that cannot open a protected connection: the connect line, then
  // the reason and nothing else; the server never saw the user's name.
  void ExpectTlsRefusal(TfrmMain& w, const std::string& reason) {
    // start() made sure of a greeting without logging in, too.
    const size_t ends = server_.logLines("no auth attempts", 1).size();
    const std::vector<std::string> log = Poll(w, " failed");
    ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[1], reason);
    EXPECT_FALSE(w.POP->Connected());
    EXPECT_NE(w.StatusText().find(" failed: "), std::string::npos) << w.StatusText();
    EXPECT_TRUE(Files().empty());
    // Dovecot logs the connection's end once it has seen it go.
    EXPECT_EQ(server_.logLines("no auth attempts", ends + 1).size(), ends + 1) << server_.logText();
    EXPECT_EQ(server_.logLines("user=<" + server_.userName() + ">", 0), std::vector<std::string>{})
        << server_.logText();
  }

  QTemporaryDir tmp_;
  std::string dest_;
  VizuTest::DovecotServer server_;
  VizuTest::FakeDialogs dialogs_;
};

}  // namespace

TEST_F(PollCycleTest, TwoMessagesGiveTheLogAndFilesHoldingWhatTheServerSent) {
  server_.addMessage("0001", kPlain);
  server_.addMessage("0002", kMultipart);
  server_.start();
  const std::vector<std::string> ids = server_.uniqueIds();
  ASSERT_EQ(ids.size(), 2u);
  const std::string kU1 = ids[0], kU2 = ids[1];
  TfrmMain w;
  SwitchOn(w, server_.port(), server_.password(), false);

  const std::vector<std::string> log = Poll(w, " ok");
  ASSERT_EQ(log.size(), 12u) << ::testing::PrintToString(log);
  const std::vector<std::string> rest(log.begin() + 1, log.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "Login... ok",
                      "2 messages on server",
                      "Getting UIDL...",
                      "Retrieving message1...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/" + kU1 + ".eml",
                      "Getting UIDL...",
                      "Retrieving message2...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/" + kU2 + ".eml",
                      "Disconnecting...",
                  }));
  EXPECT_EQ(Files(), (std::vector<std::string>{kU1 + ".eml", kU2 + ".eml"}));
  // Byte for byte what went into the mailbox: the dot line unstuffed,
  // nothing respelled, rewrapped or added.
  EXPECT_EQ(File(kU1 + ".eml"), kPlain);
  EXPECT_EQ(File(kU2 + ".eml"), kMultipart);
  EXPECT_EQ(server_.messageCount(), 2);  // kept on the server
  EXPECT_NE(w.StatusText().find(" 2 new messages saved - next poll at "), std::string::npos) << w.StatusText();
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(PollCycleTest, DeletingEmptiesTheMailboxOnlyOnceTheFilesAreWritten) {
  server_.addMessage("0001", kPlain);
  server_.addMessage("0002", kMultipart);
  server_.start();
  const std::vector<std::string> ids = server_.uniqueIds();
  ASSERT_EQ(ids.size(), 2u);
  const std::string kU1 = ids[0], kU2 = ids[1];
  TfrmMain w;
  SwitchOn(w, server_.port(), server_.password(), true);

  // The folder disappears: the first file cannot be created, the cycle ends
  // without QUIT, the connection is closed, and the server deletes nothing.
  const std::string gone = dest_ + "/gone";
  w.DestDir->SetText(gone);
  try {
    w.evGetMailTimer(w.evGetMail);
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + gone + "/" + kU1 + ".eml: No such file or directory");
  }
  {
    const std::vector<std::string> log = w.LogLines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Saving message to " + gone + "/" + kU1 + ".eml");
    EXPECT_EQ(log.back(), "The folder does not exist");
  }
  EXPECT_FALSE(w.POP->Connected());
  EXPECT_NE(w.StatusText().find(" failed: the folder does not exist"), std::string::npos) << w.StatusText();
  EXPECT_EQ(server_.messageCount(), 2);

  // The very next poll starts afresh.
  w.DestDir->SetText(dest_);
  w.evGetMailTimer(w.evGetMail);
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
  EXPECT_EQ(File(kU1 + ".eml"), kPlain);
  EXPECT_EQ(File(kU2 + ".eml"), kMultipart);
  EXPECT_EQ(server_.messageCount(), 0);

  // Nothing left: the next cycle finds an empty mailbox.
  w.evGetMailTimer(w.evGetMail);
  const std::vector<std::string> log = w.LogLines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], "Login... ok");
  EXPECT_EQ(log[2], "0 messages on server");
  EXPECT_EQ(log[3], "Disconnecting...");
}

TEST_F(PollCycleTest, AWrongPasswordLogsAFailedLoginAndQuits) {
  server_.addMessage("0001", kPlain);
  server_.start();
  TfrmMain w;
  SwitchOn(w, server_.port(), "not the password", false);
  const std::vector<std::string> log = Poll(w, " ok");
  ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[1], "Login... failed");
  EXPECT_EQ(log[2], "Disconnecting...");
  EXPECT_EQ(log[3], "Wrong user name or password");
  EXPECT_TRUE(Files().empty());
  EXPECT_FALSE(w.POP->Connected());
  EXPECT_NE(w.StatusText().find(" failed: wrong user name or password - next poll at "), std::string::npos)
      << w.StatusText();
}

TEST_F(PollCycleTest, AnUnreachableServerGivesTheConnectLineAndWhy) {
  TfrmMain w;
  // Protected or not, a connection that never opened has no TLS story to tell.
  SwitchOn(w, ClosedPort(), "x", false, "STARTTLS");
  const std::vector<std::string> log = Poll(w, " failed");
  EXPECT_EQ(log, (std::vector<std::string>{log[0], "Connection refused"}));
  EXPECT_NE(w.StatusText().find(" failed: connection refused - next poll at "), std::string::npos)
      << w.StatusText();
}

TEST_F(PollCycleTest, AnUntrustedCertificateAddsItsReasonBelowTheConnectLine) {
  ServeTls();
  server_.addMessage("0001", kPlain);
  TfrmMain w;
  SwitchOn(w, server_.port(), server_.password(), false, "STARTTLS");
  ASSERT_EQ(w.TrustedCertificate(), "");
  ExpectTlsRefusal(w, "Certificate not trusted: self-signed certificate");
  EXPECT_EQ(server_.messageCount(), 1);
}

TEST_F(PollCycleTest, AServerWithoutStlsAddsItsReasonBelowTheConnectLine) {
  // The plain fixture: no certificate, so its CAPA offers no STLS.
  server_.addMessage("0001", kPlain);
  server_.start();
  TfrmMain w;
  SwitchOn(w, server_.port(), server_.password(), false, "STARTTLS");
  ExpectTlsRefusal(w, "Server does not offer STLS");
  EXPECT_EQ(server_.messageCount(), 1);
}

TEST_F(PollCycleTest, APollOverTlsWithAPinnedFingerprintStoresTheMessageAsSent) {
  const VizuTest::TestCertificate certificate = ServeTls();
  server_.addMessage("0001", kMultipart);
  const std::vector<std::string> ids = server_.uniqueIds();
  ASSERT_EQ(ids.size(), 1u);
  // Read from the server as the README tells a user to, and pasted whole
  // into the settings file: there is no window control for it.
  const std::string printed = tmp_.path().toStdString() + "/fingerprint.txt";
  ASSERT_EQ(VizuTest::runProgram({"sh", "-c",
                                  "openssl s_client -connect 127.0.0.1:" + std::to_string(server_.tlsPort()) +
                                      " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256"},
                                 printed),
            0);
  std::string fingerprint = VizuTest::readFile(printed);
  ASSERT_EQ(fingerprint, certificate.fingerprint + "\n");
  fingerprint.pop_back();
  std::ofstream(tmp_.path().toStdString() + "/quenwick.ini") << "[TfrmMain]\nTrustedCertificate=" << fingerprint << "\n";
  TfrmMain w;
  SwitchOn(w, server_.tlsPort(), server_.password(), false, "TLS");
  ASSERT_EQ(w.TrustedCertificate(), fingerprint);

  const std::vector<std::string> log = Poll(w, " ok");
  ASSERT_EQ(log.size(), 8u) << ::testing::PrintToString(log);
  const std::vector<std::string> rest(log.begin() + 1, log.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "Login... ok",
                      "1 messages on server",
                      "Getting UIDL...",
                      "Retrieving message1...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/" + ids[0] + ".eml",
                      "Disconnecting...",
                  }));
  EXPECT_EQ(Files(), (std::vector<std::string>{ids[0] + ".eml"}));
  EXPECT_EQ(File(ids[0] + ".eml"), kMultipart);
  EXPECT_TRUE(dialogs_.errors.empty());
  // The window's login, unlike uniqueIds()'s, came over TLS.
  const std::vector<std::string> logins = server_.logLines("Login: user=<" + server_.userName() + ">", 2);
  ASSERT_EQ(logins.size(), 2u) << server_.logText();
  EXPECT_EQ(logins[0].find(", TLS"), std::string::npos) << logins[0];
  EXPECT_NE(logins[1].find(", TLS"), std::string::npos) << logins[1];
}

TEST_F(PollCycleTest, ATickDuringASlowCycleIsSkipped) {
  server_.addMessage("0001", kPlain);
  server_.addMessage("0002", kMultipart);
  server_.start();
  const std::vector<std::string> ids = server_.uniqueIds();
  ASSERT_EQ(ids.size(), 2u);
  const std::string kU1 = ids[0], kU2 = ids[1];
  TfrmMain w;
  SwitchOn(w, server_.port(), server_.password(), false);
  // Once the first retrieval is under way, poll every 100 ms and make that
  // retrieval take longer than that. The nested tick puts the interval back
  // to an hour, so that exactly one comes however slowly the rest goes.
  bool slowed = false;
  int nested = 0;
  w.POP->OnProgress = [&](TComponent*, int, int) {
    if (!slowed) {
      slowed = true;
      w.evGetMail->SetInterval(100);
      QThread::msleep(250);
    }
  };
  w.evGetMail->OnTimer = [&](TComponent* sender) {
    ++nested;
    w.evGetMail->SetInterval(3'600'000);
    w.evGetMailTimer(sender);
  };
  w.TimerList->SetActive(true);
  w.evGetMailTimer(w.evGetMail);
  w.TimerList->SetActive(false);

  ASSERT_TRUE(slowed);
  EXPECT_EQ(nested, 1);
  const std::vector<std::string> log = w.LogLines();
  ASSERT_GE(log.size(), 2u);
  // The tick found the poll running and left it alone: no second
  // connection, nothing cleared, nothing reported.
  EXPECT_EQ(log[0].rfind("Connecting at ", 0), 0u) << log[0];
  EXPECT_EQ(log[0].substr(log[0].size() - 3), " ok") << log[0];
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.rfind("Connecting at ", 0) == 0; }),
            1);
  EXPECT_EQ(log.back(), "Disconnecting...");
  EXPECT_EQ(log[log.size() - 2], "Saving message to " + dest_ + "/" + kU2 + ".eml");
  EXPECT_EQ(File(kU1 + ".eml"), kPlain);
  EXPECT_EQ(File(kU2 + ".eml"), kMultipart);
  EXPECT_NE(w.StatusText().find(" 2 new messages saved"), std::string::npos) << w.StatusText();
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(PollCycleTest, HostileOrMissingIdsNeverLeaveTheFolderNorLoseMail) {
  // Dovecot's ids are tame; a scripted server sends the hostile ones. It
  // refuses the UIDL listing, so the ids are asked message by message.
  VizuTest::LoopbackScriptServer script;
  const std::string body = "Subject: s\r\n\r\nx\r\n";
  LoggedIn(script, "+OK\r\n1 20\r\n2 20\r\n3 20\r\n.\r\n")  // greeting, USER, PASS, LIST
      .reply("-ERR no listing\r\n")                            // UIDL
      .reply("+OK 1 ../../evil\r\n")                           // UIDL 1
      .reply("+OK\r\n" + body + ".\r\n")                       // RETR 1
      .reply("-ERR no id\r\n")                                 // UIDL 2
      .reply("+OK 3 a%2Fb/c\x1B[2J\r\n")                      // UIDL 3: clears the screen
      .reply("+OK\r\n" + body + ".\r\n")                       // RETR 3
      .reply("-ERR unknown command\r\n")                      // CAPA: no pipelining
      .reply("+OK deleted\r\n")                               // DELE 1
      .reply("+OK deleted\r\n")                               // DELE 3
      .reply("+OK bye\r\n")                                    // QUIT
      .close();
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port(), "p", true);
  w.evGetMailTimer(w.evGetMail);
  script.waitScriptDone(5000);
  script.stop();

  const std::vector<std::string> log = w.LogLines();
  const std::vector<std::string> rest(log.begin() + 1, log.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "Login... ok",
                      "3 messages on server",
                      "The server cannot tell messages apart (no UIDL listing): fetching every message",
                      "Getting UIDL...",
                      "Retrieving message1...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/..%2F..%2Fevil.eml",
                      "Getting UIDL...",
                      "Error retrieving message 2",
                      "Getting UIDL...",
                      "Retrieving message3...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/a%252Fb%2Fc\\x1B[2J.eml",
                      "Disconnecting...",
                  }));
  // The file name keeps the id's bytes; only what the log shows is escaped.
  EXPECT_EQ(Files(), (std::vector<std::string>{"..%2F..%2Fevil.eml", "a%252Fb%2Fc\x1B[2J.eml"}));
  EXPECT_FALSE(QFileInfo::exists(tmp_.path() + "/evil.eml"));
  // Message 2 was neither retrieved nor deleted.
  EXPECT_EQ(script.commands(), (std::vector<std::string>{"USER tester", "PASS p", "LIST", "UIDL", "UIDL 1", "RETR 1",
                                                         "UIDL 2", "UIDL 3", "RETR 3", "CAPA", "DELE 1", "DELE 3",
                                                         "QUIT"}));
  EXPECT_NE(w.StatusText().find(" 2 new messages saved, 1 failed"), std::string::npos) << w.StatusText();
}

TEST_F(PollCycleTest, AMessageIsDeletedOnlyOnceItsFileIsInPlace) {
  // Each DELE is answered only after the test has looked at the folder.
  const std::string first = "Subject: 1\r\n\r\none\r\n", second = "Subject: 2\r\n\r\ntwo\r\n";
  std::vector<std::vector<std::string>> filesAtDele;
  auto look = [&] { filesAtDele.push_back(Files()); };
  VizuTest::LoopbackScriptServer script;
  LoggedIn(script, "+OK\r\n1 20\r\n2 20\r\n.\r\n")  // greeting, USER, PASS, LIST
      .reply("+OK\r\n1 id-one\r\n2 id-one\r\n.\r\n")           // UIDL: a repeated id
      .reply("+OK\r\n" + first + ".\r\n")                      // RETR 1
      .reply("+OK\r\n" + second + ".\r\n")                     // RETR 2
      .reply("+OK\r\nTOP\r\nPIPELINING\r\nUIDL\r\n.\r\n")      // CAPA
      .expectLine().call(look).send("+OK\r\n")                 // DELE 1
      .expectLine().call(look).send("+OK\r\n")                 // DELE 2
      .reply("+OK bye\r\n")                                    // QUIT
      .close();
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port(), "p", true);
  w.evGetMailTimer(w.evGetMail);
  script.waitScriptDone(5000);
  script.stop();

  EXPECT_EQ(script.commands(), (std::vector<std::string>{"USER tester", "PASS p", "LIST", "UIDL", "RETR 1", "RETR 2",
                                                         "CAPA", "DELE 1", "DELE 2", "QUIT"}));
  // Both files were in place, whole, before the first DELE; the repeated
  // id cost no message.
  const std::vector<std::string> both = {"id-one%n2.eml", "id-one.eml"};
  EXPECT_EQ(filesAtDele, (std::vector<std::vector<std::string>>{both, both}));
  EXPECT_EQ(File("id-one.eml"), first);
  EXPECT_EQ(File("id-one%n2.eml"), second);
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
}

TEST_F(PollCycleTest, AFileErrorClosesTheConnectionWithoutQuitOrDele) {
  VizuTest::LoopbackScriptServer script;
  LoggedIn(script, "+OK\r\n1 20\r\n2 20\r\n.\r\n")  // greeting, USER, PASS, LIST
      .reply("+OK\r\n1 a\r\n2 b\r\n.\r\n")                     // UIDL
      .reply("+OK\r\nSubject: 1\r\n\r\nx\r\n.\r\n")           // RETR 1
      .reply("+OK\r\nSubject: 2\r\n\r\ny\r\n.\r\n");          // RETR 2
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port(), "p", true);
  // While message 1 arrives the destination becomes a regular file, which
  // message 2 meets (root ignores modes, so an unwritable folder would not
  // do).
  const std::string notAFolder = dest_ + "/file";
  QFile f(QString::fromStdString(notAFolder));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  int retrievals = 0;
  w.POP->OnProgress = [&](TComponent*, int, int current) {
    if (current > 0 && ++retrievals == 1) w.DestDir->SetText(notAFolder);
  };
  EXPECT_THROW(w.evGetMailTimer(w.evGetMail), EVizuError);
  script.waitScriptDone(5000);
  // The client hung up at once: the server restores the session's messages.
  for (int i = 0; i < 100 && !script.peerClosed(); ++i) QThread::msleep(20);
  EXPECT_TRUE(script.peerClosed());
  script.stop();
  EXPECT_EQ(script.commands(), (std::vector<std::string>{"USER tester", "PASS p", "LIST", "UIDL", "RETR 1", "RETR 2"}));
  EXPECT_FALSE(w.POP->Connected());
  // The message written whole before the error is kept, and not deleted.
  EXPECT_EQ(File("a.eml"), "Subject: 1\r\n\r\nx\r\n");
  EXPECT_NE(w.StatusText().find(" failed: the destination is not a folder after 1 new message saved"),
            std::string::npos)
      << w.StatusText();
}

TEST_F(PollCycleTest, AProgramThatIsEndingFinishesThePollAtTheMessageInHand) {
  VizuTest::LoopbackScriptServer script;
  LoggedIn(script, "+OK\r\n1 20\r\n2 20\r\n.\r\n")  // greeting, USER, PASS, LIST
      .reply("+OK\r\n1 a\r\n2 b\r\n.\r\n")                     // UIDL
      .reply("+OK\r\nSubject: 1\r\n\r\nx\r\n.\r\n")           // RETR 1
      .reply("+OK deleted\r\n")                               // DELE 1
      .reply("+OK bye\r\n")                                    // QUIT
      .close();
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port(), "p", true);
  // A SIGTERM reaches the window thread as this request.
  w.POP->OnProgress = [&](TComponent*, int, int) { RequestEnd(); };
  w.evGetMailTimer(w.evGetMail);
  script.waitScriptDone(5000);
  script.stop();
  EXPECT_EQ(script.commands(),
            (std::vector<std::string>{"USER tester", "PASS p", "LIST", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
  EXPECT_EQ(File("a.eml"), "Subject: 1\r\n\r\nx\r\n");
  EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
}

TEST_F(PollCycleTest, ALostConnectionEndsTheMessageLoop) {
  // The listing names a huge last message number, then the server hangs up
  // after the first message: the loop visits only the numbers listed, and
  // stops at the first failure after the hang-up.
  VizuTest::LoopbackScriptServer script;
  LoggedIn(script, "+OK\r\n1 20\r\n9999999 20\r\n.\r\n")  // greeting, USER, PASS, LIST
      .reply("+OK\r\n1 first\r\n9999999 last\r\n.\r\n")        // UIDL
      .reply("+OK\r\nSubject: s\r\n\r\nx\r\n.\r\n")           // RETR 1
      .close();
  script.start();
  TfrmMain w;
  SwitchOn(w, script.port(), "p", false);
  w.evGetMailTimer(w.evGetMail);
  script.stop();

  const std::vector<std::string> log = w.LogLines();
  const std::vector<std::string> rest(log.begin() + 1, log.end());
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "Login... ok",
                      "9999999 messages on server",
                      "Getting UIDL...",
                      "Retrieving message1...",
                      "Building message body...",
                      "Saving message to " + dest_ + "/first.eml",
                      "Getting UIDL...",
                      "Retrieving message9999999...",
                      "Error retrieving message 9999999",
                      "Disconnecting...",
                      "Connection closed by the server",
                  }));
  EXPECT_EQ(Files(), std::vector<std::string>{"first.eml"});
  EXPECT_NE(w.StatusText().find(" failed: connection closed by the server after 1 new message saved"),
            std::string::npos)
      << w.StatusText();
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(PollCycleTest, AServerThatNeverGreetsWellNeverStopsPolling) {
  const std::pair<const char*, const char*> greetings[] = {
      {"", "No answer from the server"},
      {"-ERR not today\r\n", "The server refused the connection"},
      {"HELLO\r\n", "The server did not greet as a POP3 server: \"HELLO\""},
  };
  for (const auto& [greeting, reason] : greetings) {
    SCOPED_TRACE(std::string("greeting: ") + greeting);
    GreetingServer bad(greeting);
    TfrmMain w;
    SwitchOn(w, bad.port(), "p", false);
    w.POP->SetTimeOut(1);
    for (int poll = 1; poll <= 3; ++poll) {
      const std::vector<std::string> log = Poll(w, " failed");
      // Each poll opened a connection of its own and left none behind.
      EXPECT_EQ(bad.connections, poll);
      EXPECT_EQ(log, (std::vector<std::string>{log[0], reason}));
      EXPECT_FALSE(w.POP->SocketTalk().Socket().Opened());
    }
    EXPECT_TRUE(dialogs_.errors.empty());
    // Stored as off, so the next window does not start with this port.
    w.OnOff->SetStateOn(false);
  }
}

TEST_F(PollCycleTest, TlsSpokenToThePlainPortAndTheReverseFailThenTheRightChoicePolls) {
  const VizuTest::TestCertificate certificate = ServeTls();
  server_.addMessage("0001", kPlain);
  TfrmMain w;
  // TLS from the first byte to the port that greets in the clear, then
  // STARTTLS to the port that expects a handshake: each poll fails on its
  // own connection, and the next one connects afresh.
  SwitchOn(w, server_.port(), server_.password(), false, "TLS");
  w.POP->SetTimeOut(2);
  for (int poll = 0; poll < 2; ++poll) Poll(w, " failed");
  w.OnOff->SetStateOn(false);
  SwitchOn(w, server_.tlsPort(), server_.password(), false, "STARTTLS");
  w.POP->SetTimeOut(2);
  for (int poll = 0; poll < 2; ++poll) {
    const std::vector<std::string> log = Poll(w, " failed");
    EXPECT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
  }
  w.OnOff->SetStateOn(false);
  SwitchOn(w, server_.tlsPort(), server_.password(), false, "TLS");
  w.POP->SetTrustedCertificate(certificate.certificate);
  const std::vector<std::string> log = Poll(w, " ok");
  EXPECT_EQ(log.back(), "Disconnecting...");
}
