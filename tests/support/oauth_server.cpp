#include "support/oauth_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "mail/net/sasl.h"

namespace VizuTest {

OAuthServer::OAuthServer() { dir_ = makeTempFolder("vizu-oauth"); }

OAuthServer::~OAuthServer() {
  try {
    stop();
  } catch (...) {
  }
}

void OAuthServer::start() {
  if (dir_.empty()) throw std::runtime_error("oauth fixture: already stopped");
  if (process_.running()) return;
  for (int attempt = 0; attempt < 4; ++attempt) {
    port_ = freeLoopbackPort();
    std::vector<std::string> argv = {"python3", std::string(VIZU_TEST_DATA) + "/oauth_server.py", "--port",
                                     std::to_string(port_), "--folder", dir_, "--user", user_, "--lifetime",
                                     std::to_string(lifetime_)};
    if (!clientSecret_.empty()) argv.insert(argv.end(), {"--client-secret", clientSecret_});
    if (!process_.start(argv, dir_ + "/server.log")) throw std::runtime_error("oauth fixture: cannot start python3");
    for (int i = 0; i < 750 && process_.running(); ++i) {
      if (std::filesystem::exists(dir_ + "/ready")) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process_.stop();
  }
  throw std::runtime_error("oauth fixture: the server did not come up: " + logText());
}

void OAuthServer::stop() {
  process_.stop();
  removeTempFolder(dir_);
}

std::string OAuthServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string OAuthServer::logText() const { return readFile(dir_ + "/server.log"); }

OAuthServer::Reply OAuthServer::request(const std::string& method, const std::string& target,
                                        const std::string& body) {
  return HttpRequest(port_, method, target, body);
}

OAuthServer::Tokens OAuthServer::mint() {
  const Reply reply = request("POST", "/control/mint");
  Tokens tokens{JsonValue(reply.body, "access_token"), JsonValue(reply.body, "refresh_token")};
  if (reply.status != 200 || tokens.accessToken.empty()) throw std::runtime_error("oauth fixture: mint failed");
  return tokens;
}

void OAuthServer::expireTokens() { request("POST", "/control/expire"); }

void OAuthServer::revoke() { request("POST", "/control/revoke"); }

std::map<std::string, int> OAuthServer::stats() {
  const Reply reply = request("GET", "/control/stats");
  std::map<std::string, int> counts;
  for (const char* kind : {"authorize", "token", "refresh", "introspect", "introspect_active", "refused"}) {
    const std::string value = JsonValue(reply.body, kind);
    counts[kind] = value.empty() ? -1 : std::stoi(value);
  }
  return counts;
}

OAuthServer::Reply HttpRequest(int port, const std::string& method, const std::string& target,
                               const std::string& body) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("http: no socket");
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("http: cannot connect to port " + std::to_string(port));
  }
  const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string raw;
  char buffer[16384];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  OAuthServer::Reply reply;
  const size_t headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 && raw.compare(0, 9, "HTTP/1.0 ") != 0)
    throw std::runtime_error("http: no answer from port " + std::to_string(port));
  reply.status = std::atoi(raw.c_str() + 9);
  reply.headers = raw.substr(0, headEnd);
  if (headEnd != std::string::npos) reply.body = raw.substr(headEnd + 4);
  return reply;
}

std::string JsonValue(const std::string& json, const std::string& name) {
  std::string value;
  return Vizu2000::JsonMember(json, name, value) ? value : "";
}

}  // namespace VizuTest
