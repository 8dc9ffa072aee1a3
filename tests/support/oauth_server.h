#pragma once
// The tests' own OAuth2 authorization server (tests/data/oauth_server.py,
// Python's standard library) on 127.0.0.1: authorize, token and
// introspection endpoints, PKCE (S256) required, codes good once, access
// tokens that expire. Its folder is removed by stop() or the destructor.
//
//   VizuTest::OAuthServer auth;
//   auth.start();                          // throws std::runtime_error on failure
//   dovecot.enableOAuth2(auth.url("/introspect"));
//   std::string token = auth.mint().accessToken;
//   auth.expireTokens(); auth.revoke(); auth.stats()["refresh"];
#include <map>
#include <string>

#include "support/server_process.h"

namespace VizuTest {

class OAuthServer {
 public:
  OAuthServer();
  ~OAuthServer();
  OAuthServer(const OAuthServer&) = delete;
  OAuthServer& operator=(const OAuthServer&) = delete;

  // Before start(): the user its tokens sign in, their lifetime, and a
  // client secret the token endpoint then requires.
  void setUser(std::string user) { user_ = std::move(user); }
  void setLifetime(int seconds) { lifetime_ = seconds; }
  void setClientSecret(std::string secret) { clientSecret_ = std::move(secret); }
  void start();
  void stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string url(const std::string& path) const;

  struct Tokens {
    std::string accessToken;
    std::string refreshToken;
  };
  // A token pair for the user, made without a browser.
  Tokens mint();
  // Every access token issued so far is expired from now on.
  void expireTokens();
  // Every refresh and access token is revoked.
  void revoke();
  // Requests counted by kind: authorize, token, refresh, introspect,
  // introspect_active, refused.
  std::map<std::string, int> stats();
  std::string logText() const;

  // One HTTP/1.1 request to the server; the status and the body.
  struct Reply {
    int status = 0;
    std::string headers;
    std::string body;
  };
  Reply request(const std::string& method, const std::string& target, const std::string& body = "");

 private:
  std::string dir_;
  std::string user_ = "tester";
  int lifetime_ = 3600;
  std::string clientSecret_;
  int port_ = 0;
  ServerProcess process_;
};

// One HTTP/1.1 request over a fresh connection to 127.0.0.1:port, read to
// its end. Throws std::runtime_error when no answer comes.
OAuthServer::Reply HttpRequest(int port, const std::string& method, const std::string& target,
                               const std::string& body = "");
// The value of a top-level JSON member, as text (strings unquoted).
std::string JsonValue(const std::string& json, const std::string& name);

}  // namespace VizuTest
