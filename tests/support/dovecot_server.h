#pragma once
// A real POP3 server for integration tests: a private Dovecot instance on
// 127.0.0.1 with one user and one Maildir, all inside a temporary folder
// that is removed again by stop() or the destructor.
//
//   VizuTest::DovecotServer server;
//   server.addMessage("0001", "Subject: hi\r\n\r\nbody\r\n");
//   server.start();                       // throws std::runtime_error on failure
//   client.SetPort(server.port()); client.SetUserName(server.userName()); ...
//   server.messageCount();                // what is left in the Maildir
//
// Messages are served in the order of their names, with CR LF line ends and
// dot-stuffing whatever line ends the dropped-in bytes have. As root the mail
// files belong to a system user "vizumail" (created on first use), since
// Dovecot refuses to serve mail as root.
//
// With enableTls (before start) the server offers STLS on port() and TLS
// from the first byte on tlsPort(), with the given certificate.
//
// Its authentication service also listens on authSocket() (mode 0666), so
// an MTA under test can sign its users in through it, and mail can be
// delivered straight into Maildir/ as the mail user (mailUid, mailGid).
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "support/server_process.h"

namespace VizuTest {

class DovecotServer {
 public:
  DovecotServer();
  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  // Starts the server and returns once it greets on port(). Throws
  // std::runtime_error (with the server's log) when it does not come up.
  void start();
  // Stops the server by its PID and removes the temporary folder. Safe to
  // call twice; the object cannot be started again afterwards.
  void stop();
  bool running() const { return process_.running(); }

  int port() const { return port_; }
  // Serves this certificate and key (PEM files); before start().
  void enableTls(const std::string& certificate, const std::string& key);
  // Also signs in with XOAUTH2 and OAUTHBEARER: tokens are checked by an
  // oauth2 passdb that asks introspectionUrl (RFC 7662, POST) and takes
  // "username" as the user; PLAIN and LOGIN still check the password.
  // Before start().
  void enableOAuth2(const std::string& introspectionUrl);
  // The implicit-TLS port; 0 without enableTls.
  int tlsPort() const { return tlsPort_; }
  // The socket Dovecot's authentication service answers clients on.
  std::string authSocket() const { return dir_ + "/run/auth-smtp"; }
  uid_t mailUid() const { return mailUid_; }
  gid_t mailGid() const { return mailGid_; }
  const std::string& userName() const { return userName_; }
  const std::string& password() const { return password_; }

  // Drops a message into Maildir/new under the given file name (no '/' or
  // ':'), before or after start(). Throws std::runtime_error on a bad name
  // or a failed write.
  void addMessage(const std::string& name, std::string_view bytes);
  // Messages in the Maildir (new and cur): after a QUIT that committed
  // deletions, the ones that are gone are no longer counted.
  int messageCount() const;
  // Their file names without the ":2,<flags>" part, sorted.
  std::vector<std::string> maildirFiles() const;
  // The unique ids the server gives its messages, in message order, asked
  // by a POP3 client of the library (UIDL per message).
  std::vector<std::string> uniqueIds() const;

  const std::string& folder() const { return dir_; }
  std::string logText() const;
  // The log's lines that hold text, once at least atLeast of them are there
  // or after about five seconds: the server's processes write as they go.
  std::vector<std::string> logLines(const std::string& text, size_t atLeast) const;

 private:
  void ensureMailUser();
  void writeConfig();
  bool launch(std::string& error);

  std::string dir_;
  std::string userName_ = "tester";
  std::string password_ = "secret";
  int port_ = 0;
  int tlsPort_ = 0;
  std::string certificate_;
  std::string key_;
  std::string introspectionUrl_;
  ServerProcess process_;
  uid_t mailUid_ = 0;
  gid_t mailGid_ = 0;
  std::string loginUser_;
  std::string internalUser_;
  bool asRoot_ = false;
};

}  // namespace VizuTest
