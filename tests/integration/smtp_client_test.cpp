// The SMTP client against a real aiosmtpd on 127.0.0.1 in its strict mode
// (see smtp_server.h): what the server kept (envelope and content, byte for
// byte) is compared with what was sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "mail/net/smtp_client.h"
#include "support/line_ends.h"
#include "support/smtp_server.h"

using namespace Vizu2000;
using VizuTest::SmtpMessage;
using VizuTest::KeptContent;
using VizuTest::SmtpServer;

namespace {

// The source without its Bcc fields, continuation lines included.
std::string WithoutBcc(const std::string& source) {
  const size_t headerEnd = source.find("\r\n\r\n");
  std::string out;
  bool dropping = false;
  for (size_t pos = 0; pos < headerEnd + 2;) {
    const size_t end = source.find("\r\n", pos) + 2;
    const std::string line = source.substr(pos, end - pos);
    if (line[0] != ' ' && line[0] != '\t') dropping = SameText(line.substr(0, 4), "Bcc:");
    if (!dropping) out += line;
    pos = end;
  }
  return out + source.substr(headerEnd + 2);
}

// Python's repr() of a bytes object, as the reader script prints it.
std::string PythonBytes(const std::string& bytes) {
  const bool single = bytes.find('\'') == std::string::npos || bytes.find('"') != std::string::npos;
  const char quote = single ? '\'' : '"';
  std::string out = std::string("b") + quote;
  for (unsigned char c : bytes) {
    char hex[5];
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < ' ' || c >= 0x7f) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + quote;
}

// What Python's standard mail reader makes of a stored file (see
// tests/data/mail_structure.py).
std::string PythonReading(const std::string& file) {
  std::string command = "/usr/bin/python3 -I " VIZU_TEST_DATA "/mail_structure.py '" + file + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "cannot run python3";
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  return pclose(pipe) == 0 ? output : "python3 failed: " + output;
}

class SmtpClientIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    server.strict();
    server.refuseSender("spam@example.org");
    server.refuseRecipient("nobody@example.org");
  }
  // Starts the server and opens a session on it.
  void Open() {
    ASSERT_NO_THROW(server.start());
    client.SetName("SMTP1");
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetTimeOut(10);
    ASSERT_TRUE(client.Connect()) << client.LastResponse() << server.logText();
  }

  SmtpServer server;
  TDUZA2000 client{nullptr};
};

}  // namespace

TEST_F(SmtpClientIntegration, SendsAComposedMessageToEveryRecipientAndHidesTheBlindCopies) {
  TVeraDudurur2000 message(nullptr);
  message.SetFrom("Ann Sender", "ann@example.org");
  message.ToList().Add("Bob", "bob@example.org");
  message.CcList().Add("Carl", "Carl@Example.org");
  message.BccList().Add("Dora", "dora@example.org");
  message.BccList().Add("", "eve@example.org");
  message.SetSubject("Quarterly figures");
  message.SetTextPlain("Hello Bob,\r\n.see the figures attached.\r\n..\r\n.\r\nAnn\r\n");
  std::string figures;
  for (int i = 0; i < 256; ++i) figures += static_cast<char>(i);
  figures += "\r\n.\r\n";  // would end the data if the encoding left it as it is
  message.AttachString(figures, "figures.bin", "application/octet-stream", etBase64, false);
  message.SetMessageId("before.example");
  message.RebuildBody();
  const std::string idBefore = message.GetMessageId();
  const TStringList headerBefore = static_cast<const TMailPart&>(message).Header();
  ASSERT_GE(SearchStringList(&headerBefore, "Bcc:", 0), 0);

  client.SetMailMessage(&message);
  Open();
  ASSERT_TRUE(client.SendMessage()) << client.LastResponse();
  EXPECT_EQ(client.LastResponse().substr(0, 4), "250 ");

  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), 1u) << server.logText();
  EXPECT_EQ(kept[0].mailFrom, "ann@example.org");
  EXPECT_EQ(kept[0].rcptTos,
            (std::vector<std::string>{"bob@example.org", "Carl@Example.org", "dora@example.org", "eve@example.org"}));

  // A new Message-ID naming this end of the connection.
  const std::string id = message.GetMessageId();
  EXPECT_NE(id, idBefore);
  EXPECT_TRUE(id.ends_with("@127.0.0.1>")) << id;
  // What arrived is the message as it now reads, less its blind copies.
  const std::string source = message.GetSource();
  ASSERT_NE(source.find("\r\nBcc: "), std::string::npos) << source;
  EXPECT_EQ(kept[0].content, KeptContent(WithoutBcc(source)));
  EXPECT_NE(kept[0].content.find("Message-ID: " + id + "\r\n"), std::string::npos);
  for (const char* hidden : {"Bcc", "bcc", "BCC", "dora@", "eve@"})
    EXPECT_EQ(kept[0].content.find(hidden), std::string::npos) << hidden;
  // The header is back as it was, but for the new Message-ID.
  TStringList headerAfter = static_cast<const TMailPart&>(message).Header();
  const int idLine = SearchStringList(&headerAfter, "Message-ID:", 0);
  ASSERT_GE(idLine, 0);
  headerAfter.Delete(idLine);
  TStringList expectedHeader = headerBefore;
  expectedHeader.Delete(SearchStringList(&expectedHeader, "Message-ID:", 0));
  EXPECT_EQ(headerAfter, expectedHeader);

  // An independent reader finds the subject, the text and the attachment's
  // bytes in the stored file.
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
  const std::string reading = PythonReading(server.folder() + "/messages/000001.eml");
  EXPECT_NE(reading.find("part multipart/mixed\n"), std::string::npos) << reading;
  EXPECT_NE(reading.find("  field 'Subject' [b'Quarterly figures']\n"), std::string::npos) << reading;
  EXPECT_NE(reading.find("part text/plain\n"), std::string::npos) << reading;
  EXPECT_NE(reading.find("  content [b'Hello Bob,', b'.see the figures attached.', b'..', b'.', b'Ann']\n"),
            std::string::npos)
      << reading;
  EXPECT_NE(reading.find("  content " + PythonBytes(figures) + "\n"), std::string::npos) << reading;
  EXPECT_EQ(reading.find("  defects ['"), std::string::npos) << reading;
}

TEST_F(SmtpClientIntegration, LinesBeginningWithDotsArriveUnchangedAndEveryLineEndAsCrLf) {
  const std::vector<std::string> contents = {
      // A dot line after a lone LF or CR would end the data for a server
      // that takes either as a line end; the rest would be read as commands.
      "Subject: smuggled\r\n\r\nhi\n.\r\nMAIL FROM:<x@y>\r\nlone\r.\r\nlast\n.\n",
      "\r.\n.\r..\r\n\n\r",
      ".\r\nfirst line a lone dot\r\n..\r\n.x\r\n...three\r\nmid.dle\r\n.\r\n",  // dot lines first and last
      "Subject: no end\r\n\r\n.x\r\n.",                                           // a last dot line without CR LF
      ".leading\r\n..\r\ntail without line break.",
      "..\r\n",
      ".",
      "",
  };
  Open();
  for (const std::string& content : contents)
    ASSERT_TRUE(client.SendStringTo(content, "ann@example.org", "bob@example.org"))
        << content << ": " << client.LastResponse();
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), contents.size()) << server.logText();
  for (size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(kept[i].content, KeptContent(contents[i])) << i;

  // A composed message whose text holds lone line ends arrives the same way.
  TVeraDudurur2000 message(nullptr);
  message.SetFrom("", "ann@example.org");
  message.ToList().Add("", "bob@example.org");
  message.SetSubject("lone line ends");
  message.SetTextPlain("one\n.\rtwo\r.\r\n.\n");
  message.RebuildBody();
  client.SetMailMessage(&message);
  ASSERT_TRUE(client.SendMessage()) << client.LastResponse();
  ASSERT_EQ(server.messages().size(), contents.size() + 1) << server.logText();
  EXPECT_EQ(server.messages().back().content, KeptContent(message.GetSource()));
}

TEST_F(SmtpClientIntegration, ALargeContentGoesInPacketsWithProgress) {
  // 2500 lines of 100 bytes, every seventh beginning with a dot.
  std::string content;
  for (int n = 0; n < 2500; ++n) {
    std::string line = (n % 7 == 0 ? "." : "") + std::to_string(n) + " ";
    content += line + std::string(98 - line.size(), 'x') + "\r\n";
  }
  ASSERT_EQ(content.size(), 250000u);

  std::vector<std::pair<int, int>> progress;
  client.OnProgress = [&](TComponent* sender, int total, int current) {
    EXPECT_EQ(sender, &client);
    progress.emplace_back(total, current);
  };
  client.SetPacketSize(102400);
  Open();
  ASSERT_TRUE(client.SendStringTo(content, "ann@example.org", "bob@example.org")) << client.LastResponse();
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), 1u) << server.logText();
  EXPECT_EQ(kept[0].content, content);

  // Three packets: the progress starts at 0 and reaches each packet's end.
  ASSERT_FALSE(progress.empty());
  const int total = progress.front().first;
  EXPECT_EQ(total, static_cast<int>(TransparentContent({}, content).size()));
  EXPECT_EQ(progress.front().second, 0);
  std::vector<int> reached;
  for (const auto& [t, current] : progress) {
    EXPECT_EQ(t, total);
    if (current > 0 && (reached.empty() || current != reached.back())) reached.push_back(current);
  }
  EXPECT_EQ(reached, (std::vector<int>{102400, 204800, total}));
}

TEST_F(SmtpClientIntegration, ARefusalAtEachStepLeavesTheSessionReadyForTheNextSend) {
  server.setLineLengthLimit(200);
  Open();
  const std::string good = "Subject: good\r\n\r\nfine\r\n";
  struct Refusal {
    const char* what;
    std::string from, to, content;
    std::string reply;  // how the refusal begins
  };
  const Refusal refusals[] = {
      {"sender", "spam@example.org", "bob@example.org", good, "553 5.7.1 Sender refused\r\n"},
      // Bob is asked first and accepted; the transaction is still refused.
      {"recipient", "ann@example.org", "nobody@example.org, bob@example.org", good,
       "550 5.1.1 Recipient refused\r\n"},
      {"content", "ann@example.org", "bob@example.org", "Subject: long\r\n\r\n" + std::string(300, 'y') + "\r\n",
       "500 Line too long"},
  };
  size_t sent = 0;
  for (const Refusal& r : refusals) {
    EXPECT_FALSE(client.SendStringTo(r.content, r.from, r.to)) << r.what;
    EXPECT_TRUE(client.LastResponse().starts_with(r.reply)) << r.what << ": " << client.LastResponse();
    EXPECT_TRUE(client.Connected()) << r.what;
    ASSERT_TRUE(client.SendStringTo(good, "ann@example.org", "bob@example.org"))
        << r.what << ": " << client.LastResponse();
    ++sent;
  }
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), sent) << server.logText();
  for (const SmtpMessage& m : kept) {
    EXPECT_EQ(m.mailFrom, "ann@example.org");
    EXPECT_EQ(m.rcptTos, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(m.content, good);
  }
}

TEST_F(SmtpClientIntegration, RefusedDataKeepsTheSessionAndQuitClosesIt) {
  server.refuseData();
  Open();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(client.SendStringTo("Subject: no\r\n\r\nbody\r\n", "ann@example.org", "bob@example.org"));
    EXPECT_EQ(client.LastResponse(), "554 5.6.0 Message refused\r\n");
    EXPECT_TRUE(client.Connected());
  }
  EXPECT_TRUE(client.Quit());
  EXPECT_EQ(client.LastResponse().substr(0, 4), "221 ");
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.SocketTalk().Socket().Active());
  EXPECT_FALSE(client.SendStringTo("x\r\n", "ann@example.org", "bob@example.org"));
  EXPECT_TRUE(server.messages().empty());

  // The same client opens a new session afterwards.
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Quit());
}
