#pragma once
// A real MTA as a submission server for integration tests: a private
// Postfix instance (Debian's postfix) on 127.0.0.1 with its own
// config_directory, queue_directory and data_directory in a temporary
// folder, removed again by stop() or the destructor. The machine's own
// Postfix configuration (/etc/postfix/main.cf, if any) is never read or
// written, and no system service is involved.
//
//   VizuTest::DovecotServer dovecot;       // where the mail goes
//   dovecot.start();
//   VizuTest::PostfixServer postfix(dovecot, certificate);
//   postfix.start();                       // throws std::runtime_error on failure
//   client.SetPort(postfix.submissionPort()); ...
//   dovecot.messageCount();                // grows as mail is delivered
//
// submissionPort() takes mail only after STARTTLS and a sign-in (RFC 6409,
// RFC 3207: smtpd_tls_security_level = encrypt, smtpd_tls_auth_only);
// tlsPort() speaks TLS from the first byte on (RFC 8314). Both sign users
// in through the Dovecot's authentication socket, so its user and password
// are the ones to use. The server is strict: strict_rfc821_envelopes,
// smtpd_forbid_bare_newline (for every client, loopback included). Mail
// for recipient() is delivered by Postfix's virtual(8) agent into the
// Dovecot's Maildir as its mail user; it puts Return-Path, X-Original-To,
// Delivered-To and a Received field in front of the message and changes
// nothing else: no header is rewritten or added for any client.
//
// The master runs in the foreground as a child of the test (it gets SIGTERM
// should the test die) and stop() ends it with "postfix -c DIR stop".
#include <string>

#include "support/dovecot_server.h"
#include "support/server_process.h"
#include "support/test_certificate.h"

namespace VizuTest {

class PostfixServer {
 public:
  PostfixServer(const DovecotServer& dovecot, TestCertificate certificate);
  ~PostfixServer();
  PostfixServer(const PostfixServer&) = delete;
  PostfixServer& operator=(const PostfixServer&) = delete;

  // Whether Debian's postfix is installed.
  static bool available();

  void start();
  // "postfix -c DIR stop", then the master is awaited (and killed after
  // 10 s) and the folder removed. Safe to call twice.
  void stop();

  int submissionPort() const { return submissionPort_; }
  int tlsPort() const { return tlsPort_; }
  // The Dovecot user's address.
  std::string recipient() const { return dovecot_.userName() + "@vizu.test"; }
  std::string logText() const;

 private:
  void writeConfig();
  std::string postfix(const std::string& action) const;

  const DovecotServer& dovecot_;
  TestCertificate certificate_;
  std::string dir_;
  int submissionPort_ = 0;
  int tlsPort_ = 0;
  ServerProcess process_;
};

}  // namespace VizuTest
