// The SMTP client against a real MTA: a private Postfix on loopback ports
// (see postfix_server.h), strict about envelopes and bare line ends, taking
// mail only under TLS and after a sign-in through the test Dovecot, and
// delivering into that Dovecot's mailbox. What was sent is read back by the
// POP3 client and must be there byte for byte behind Postfix's trace fields.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/net/pop3_client.h"
#include "mail/net/smtp_client.h"
#include "support/dovecot_server.h"
#include "support/line_ends.h"
#include "support/postfix_server.h"
#include "support/test_certificate.h"

using namespace Vizu2000;
using VizuTest::DovecotServer;
using VizuTest::KeptContent;
using VizuTest::PostfixServer;
using VizuTest::TestCertificate;

namespace {

// What Postfix may put in front of a message it delivers, and nothing else.
bool OnlyTraceFields(const std::string& prefix) {
  for (size_t start = 0; start < prefix.size();) {
    const size_t end = prefix.find("\r\n", start);
    if (end == std::string::npos) return false;
    const std::string line = prefix.substr(start, end - start);
    const bool known = line.starts_with("Return-Path: ") || line.starts_with("Delivered-To: ") ||
                       line.starts_with("X-Original-To: ") ||
                       line.starts_with("Received: ") || line.starts_with("\t") || line.starts_with(" ");
    if (!known) return false;
    start = end + 2;
  }
  return true;
}

class SmtpPostfixTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = VizuTest::makeTempFolder("vizu-certs");
    good_ = VizuTest::makeTestCertificate(folder_, "good", "IP:127.0.0.1");
  }
  static void TearDownTestSuite() { VizuTest::removeTempFolder(folder_); }

  void SetUp() override {
    if (!PostfixServer::available()) GTEST_SKIP() << "Debian's postfix is not installed (scripts/setup.sh)";
    ASSERT_NO_THROW(dovecot.start());
    postfix = std::make_unique<PostfixServer>(dovecot, good_);
    ASSERT_NO_THROW(postfix->start());
  }

  void Aim(TTLSMode mode, const std::string& password) {
    client.SetHost("127.0.0.1");
    client.SetPort(mode == tmImplicitTLS ? postfix->tlsPort() : postfix->submissionPort());
    client.SetTimeOut(15);
    client.SetTLSMode(mode);
    client.SetTrustedCertificate(good_.certificate);
    client.SetUserName(dovecot.userName());
    client.SetPassword(password);
  }

  // The mailbox's messages, read by the POP3 client once count have been
  // delivered (Postfix delivers after it has answered).
  std::vector<std::string> Delivered(int count) {
    for (int i = 0; i < 1000 && dovecot.messageCount() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::string> messages;
    TREZ2000 pop(nullptr);
    pop.SetHost("127.0.0.1");
    pop.SetPort(dovecot.port());
    pop.SetUserName(dovecot.userName());
    pop.SetPassword(dovecot.password());
    if (!pop.Connect() || !pop.Login()) return messages;
    for (int n = 1; n <= pop.MessageCount(); ++n)
      if (pop.FetchMessage(n)) messages.push_back(pop.TakeLastMessage());
    pop.Quit();
    return messages;
  }

  static inline std::string folder_;
  static inline TestCertificate good_;
  DovecotServer dovecot;
  std::unique_ptr<PostfixServer> postfix;
  TDUZA2000 client{nullptr};
};

}  // namespace

TEST_F(SmtpPostfixTest, SubmissionAndImplicitTlsDeliverEveryContentByteForByte) {
  // Each carries its number in its first line, so the mailbox's order does
  // not matter.
  const std::vector<std::string> contents = {
      // A lone LF and a lone CR before a dot line: taken as line ends by
      // some servers and not by others (SMTP smuggling) unless they go as
      // CR LF.
      "Subject: 0 smuggled\r\n\r\nhi\n.\r\nMAIL FROM:<x@y>\r\nlone\r.\r\nlast\n.\n",
      "Subject: 1 dots\r\n\r\n.\r\nfirst line a lone dot\r\n..\r\n.x\r\n...three\r\nmid.dle\r\n.\r\n",
      "Subject: 2 no end\r\n\r\n.x\r\n.",
      "Subject: 3 8-bit\r\n\r\nBl\xc3\xbcten \xe2\x82\xac\r\n\r.\n\n\r",
  };
  int sent = 0;
  for (const TTLSMode mode : {tmSTLS, tmImplicitTLS}) {
    SCOPED_TRACE(mode);
    Aim(mode, dovecot.password());
    ASSERT_TRUE(client.Connect()) << client.FailureReason() << "\n" << postfix->logText();
    EXPECT_TRUE(client.HasExtension("PIPELINING"));
    EXPECT_EQ(client.SizeLimit(), 26214400u);
    for (const std::string& content : contents) {
      ASSERT_TRUE(client.SendStringTo(content, "ann@example.org", postfix->recipient()))
          << client.FailureReason() << "\n" << postfix->logText();
      ++sent;
    }
    EXPECT_TRUE(client.Quit());
  }
  const std::vector<std::string> delivered = Delivered(sent);
  ASSERT_EQ(delivered.size(), static_cast<size_t>(sent)) << postfix->logText();
  for (size_t i = 0; i < contents.size(); ++i) {
    const std::string kept = KeptContent(contents[i]);
    int found = 0;
    for (const std::string& message : delivered) {
      if (message.find(contents[i].substr(0, 12)) == std::string::npos) continue;
      ++found;
      ASSERT_TRUE(message.ends_with(kept)) << i << ":\n" << message;
      EXPECT_TRUE(OnlyTraceFields(message.substr(0, message.size() - kept.size()))) << message;
    }
    EXPECT_EQ(found, 2) << i;
  }
}

TEST_F(SmtpPostfixTest, ARealMtaRefusesInPlainWords) {
  // AUTH only under TLS (smtpd_tls_auth_only): in the clear there is
  // nothing to sign in with.
  Aim(tmNone, dovecot.password());
  client.SetAllowUnencryptedAuth(true);
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.FailureReason(), "the server does not offer sign-in");

  Aim(tmSTLS, "wrong");
  EXPECT_FALSE(client.Connect());
  EXPECT_TRUE(client.FailureReason().starts_with("sign-in refused: 535 5.7.8 ")) << client.FailureReason();
  EXPECT_EQ(client.FailureReason().find("wrong"), std::string::npos);

  Aim(tmSTLS, dovecot.password());
  ASSERT_TRUE(client.Connect()) << client.FailureReason() << "\n" << postfix->logText();
  // Over the announced SIZE: refused before a byte of it goes.
  EXPECT_FALSE(client.SendStringTo(std::string(30 * 1048576 - 2, 'x'), "ann@example.org", postfix->recipient()));
  EXPECT_EQ(client.FailureReason(), "message too large: 30 MB, the server accepts 25 MB");
  // An unknown recipient is named; the known one gets the message.
  EXPECT_TRUE(client.SendStringTo("Subject: some\r\n\r\nsome\r\n", "ann@example.org",
                                  "nobody@vizu.test, " + postfix->recipient()));
  EXPECT_EQ(client.RefusedRecipients(), std::vector<std::string>{"nobody@vizu.test"});
  EXPECT_TRUE(client.FailureReason().starts_with("recipient refused: <nobody@vizu.test>: 550 5.1.1 "))
      << client.FailureReason();
  EXPECT_TRUE(client.Quit());
  const std::vector<std::string> delivered = Delivered(1);
  ASSERT_EQ(delivered.size(), 1u) << postfix->logText();
  EXPECT_TRUE(delivered[0].ends_with("Subject: some\r\n\r\nsome\r\n")) << delivered[0];
}
