#pragma once
// A real SMTP server for integration tests: aiosmtpd (Debian's
// python3-aiosmtpd) on 127.0.0.1, running tests/data/smtp_sink.py, which
// keeps every message it accepts in a temporary folder that is removed again
// by stop() or the destructor.
//
//   VizuTest::SmtpServer server;
//   server.refuseRecipient("nobody@example.org");   // optional, before start()
//   server.start();                       // throws std::runtime_error on failure
//   client.SetPort(server.port()); ...
//   server.messages();                    // what arrived, in arrival order
//
// What the server speaks: HELO and EHLO (a name is required: a bare "HELO"
// gets 501); EHLO announces SIZE 536870912, 8BITMIME and PIPELINING, and no
// AUTH and no STARTTLS unless asked for below. After EHLO, MAIL FROM takes
// SIZE= and BODY= (after HELO any parameter gets 501); SMTPUTF8 and
// non-ASCII commands are refused. The fifth unknown
// command in a session ends it with 502.
//
// A submission server, set up before start(): enableTls offers STARTTLS on
// port() and TLS from the first byte on tlsPort(); requireSignIn takes AUTH
// PLAIN and LOGIN for one user (under TLS only, unless signInInClear) and
// answers MAIL FROM before it with "530 5.7.0 Authentication required";
// setSizeLimit announces and enforces a SIZE; refuseEhlo answers EHLO with
// "502 5.5.1 EHLO not implemented", refuseStartTls STARTTLS with "454 4.7.0
// TLS not available".
//
// strict() makes it check what a careful MTA checks, with "501 5.5.4
// Syntax: ..." for a command that fails: HELO and EHLO name a Domain or an
// address literal ("[192.0.2.1]", "[IPv6:...]"); MAIL FROM and RCPT TO have
// "<" right after the colon and a path without blanks, control characters
// or angle brackets; RCPT TO's path is not empty. Message data that holds a
// CR or LF outside a CR LF is answered "554 5.6.11 Bare CR or LF in message
// data" and not kept.
//
// How it reads message data (RFC 5321 4.5.2): lines end at CR LF only, and
// the data ends at the first line that is exactly ".". Of every other line
// that begins with a dot, one dot is removed. A bare LF or CR is kept as it
// is and does not start a line, so "x\n.\r\n" neither ends the data nor
// loses its dot. A line longer than the line length limit (CR LF and a
// stuffed dot included) makes the server answer the end of data with
// "500 Line too long" and keep nothing of that message.
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/server_process.h"

namespace VizuTest {

struct SmtpMessage {
  // The reverse-path without its angle brackets; empty for "MAIL FROM:<>".
  std::string mailFrom;
  // The MAIL FROM parameters as sent, e.g. "SIZE=1234", "BODY=8BITMIME".
  std::vector<std::string> mailOptions;
  // The accepted recipients without angle brackets, in RCPT TO order.
  std::vector<std::string> rcptTos;
  // The user the session signed in as; empty without AUTH.
  std::string signedIn;
  // Whether the session was under TLS.
  bool encrypted = false;
  // The message data exactly as received, transparency dots removed: every
  // line with its CR LF, up to and including the CR LF before the final
  // "." line, which is not part of it. "a\r\n.\r\n" on the wire gives
  // "a\r\n"; an immediate ".\r\n" gives "".
  std::string content;
};

class SmtpServer {
 public:
  // aiosmtpd's own limit: 999 characters and the CR LF.
  static constexpr std::size_t kDefaultLineLengthLimit = 1001;

  SmtpServer();
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // Refusals, set before start() (std::runtime_error afterwards). Addresses
  // match without regard to case. MAIL FROM from a refused sender is
  // answered "553 5.7.1 Sender refused", RCPT TO for a refused recipient
  // "550 5.1.1 Recipient refused"; refuseData() answers the end of every
  // message's data with "554 5.6.0 Message refused" and keeps nothing.
  void refuseSender(const std::string& address);
  void refuseRecipient(const std::string& address);
  void refuseData();
  void strict();
  // The longest line of message data the server accepts, CR LF included.
  void setLineLengthLimit(std::size_t bytes);
  void setSizeLimit(std::size_t bytes);
  void enableTls(const std::string& certificate, const std::string& key);
  void requireSignIn(const std::string& user, const std::string& password);
  void signInInClear();
  void refuseEhlo();
  void refuseStartTls();

  // Starts the server and returns once it greets with 220 on port(). Throws
  // std::runtime_error (with the server's log) when it does not come up.
  void start();
  // Stops the server by its PID and removes the temporary folder. Safe to
  // call twice; the object cannot be started again afterwards.
  void stop();
  bool running() const { return process_.running(); }
  // The server's process id while it runs, -1 otherwise.
  pid_t pid() const { return process_.pid(); }

  int port() const { return port_; }
  // The implicit-TLS port; 0 without enableTls.
  int tlsPort() const { return tlsPort_; }
  const std::string& folder() const { return dir_; }

  // Every message the server has answered with 250, in arrival order. A
  // message is complete here as soon as the client has read that 250.
  std::vector<SmtpMessage> messages() const;
  std::string logText() const;

 private:
  void requireNotStarted() const;
  std::vector<std::string> command() const;

  std::string dir_;
  int port_ = 0;
  ServerProcess process_;
  std::vector<std::string> refusedSenders_;
  std::vector<std::string> refusedRecipients_;
  bool refuseData_ = false;
  bool strict_ = false;
  std::size_t lineLengthLimit_ = kDefaultLineLengthLimit;
  std::size_t sizeLimit_ = 0;  // 0: the script's own
  std::string certificate_;
  std::string key_;
  int tlsPort_ = 0;
  std::string signInUser_;
  std::string signInPassword_;
  bool signInInClear_ = false;
  bool refuseEhlo_ = false;
  bool refuseStartTls_ = false;
};

}  // namespace VizuTest
