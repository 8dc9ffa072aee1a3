#include "support/smtp_server.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace VizuTest {
namespace {

// The system's interpreter: a python3 found first in PATH (a per-user
// installation, say) need not have aiosmtpd.
std::string pythonProgram() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// One "key value" line of an envelope file written by smtp_sink.py.
void readEnvelopeLine(const std::string& line, SmtpMessage& message) {
  const auto space = line.find(' ');
  const std::string key = line.substr(0, space);
  const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
  if (key == "mail-from")
    message.mailFrom = value;
  else if (key == "mail-option")
    message.mailOptions.push_back(value);
  else if (key == "rcpt-to")
    message.rcptTos.push_back(value);
  else if (key == "signed-in")
    message.signedIn = value;
  else if (key == "encrypted")
    message.encrypted = value == "yes";
  else
    throw std::runtime_error("smtp fixture: unknown envelope line '" + line + "'");
}

}  // namespace

SmtpServer::SmtpServer() : dir_(makeTempFolder("vizu-smtp")) {}

SmtpServer::~SmtpServer() {
  try {
    stop();
  } catch (...) {
  }
}

void SmtpServer::requireNotStarted() const {
  if (running() || dir_.empty())
    throw std::runtime_error("smtp fixture: refusals and limits are set before start()");
}

void SmtpServer::refuseSender(const std::string& address) {
  requireNotStarted();
  refusedSenders_.push_back(address);
}

void SmtpServer::refuseRecipient(const std::string& address) {
  requireNotStarted();
  refusedRecipients_.push_back(address);
}

void SmtpServer::refuseData() {
  requireNotStarted();
  refuseData_ = true;
}

void SmtpServer::strict() {
  requireNotStarted();
  strict_ = true;
}

void SmtpServer::setLineLengthLimit(std::size_t bytes) {
  requireNotStarted();
  lineLengthLimit_ = bytes;
}

void SmtpServer::setSizeLimit(std::size_t bytes) {
  requireNotStarted();
  sizeLimit_ = bytes;
}

void SmtpServer::enableTls(const std::string& certificate, const std::string& key) {
  requireNotStarted();
  certificate_ = certificate;
  key_ = key;
}

void SmtpServer::requireSignIn(const std::string& user, const std::string& password) {
  requireNotStarted();
  signInUser_ = user;
  signInPassword_ = password;
}

void SmtpServer::signInInClear() {
  requireNotStarted();
  signInInClear_ = true;
}

void SmtpServer::refuseEhlo() {
  requireNotStarted();
  refuseEhlo_ = true;
}

void SmtpServer::refuseStartTls() {
  requireNotStarted();
  refuseStartTls_ = true;
}

std::vector<std::string> SmtpServer::command() const {
  std::vector<std::string> args = {pythonProgram(),  std::string(VIZU_TEST_DATA) + "/smtp_sink.py",
                                   "--port",         std::to_string(port_),
                                   "--folder",       dir_,
                                   "--line-limit",   std::to_string(lineLengthLimit_)};
  for (const auto& a : refusedSenders_) args.insert(args.end(), {"--refuse-sender", a});
  for (const auto& a : refusedRecipients_) args.insert(args.end(), {"--refuse-recipient", a});
  if (refuseData_) args.push_back("--refuse-data");
  if (strict_) args.push_back("--strict");
  if (sizeLimit_ > 0) args.insert(args.end(), {"--size-limit", std::to_string(sizeLimit_)});
  if (refuseEhlo_) args.push_back("--refuse-ehlo");
  if (!certificate_.empty())
    args.insert(args.end(), {"--tls-cert", certificate_, "--tls-key", key_, "--tls-port", std::to_string(tlsPort_)});
  if (refuseStartTls_) args.push_back("--refuse-starttls");
  if (!signInUser_.empty()) args.insert(args.end(), {"--auth", signInUser_ + ":" + signInPassword_});
  if (signInInClear_) args.push_back("--auth-in-clear");
  return args;
}

void SmtpServer::start() {
  if (dir_.empty()) throw std::runtime_error("smtp fixture: already stopped");
  if (running()) return;
  std::string error;
  for (int attempt = 0; attempt < 4; ++attempt) {
    port_ = freeLoopbackPort();
    tlsPort_ = 0;
    while (!certificate_.empty() && (tlsPort_ == 0 || tlsPort_ == port_)) tlsPort_ = freeLoopbackPort();
    if (!process_.start(command(), dir_ + "/server.log")) {
      error = "cannot start a process for " + pythonProgram();
      continue;
    }
    if (process_.awaitGreeting(port_, "220", 15000)) return;
    error = logText();
  }
  throw std::runtime_error("smtp fixture: the server did not come up: " + error);
}

void SmtpServer::stop() {
  process_.stop();
  removeTempFolder(dir_);
}

std::vector<SmtpMessage> SmtpServer::messages() const {
  std::vector<SmtpMessage> found;
  if (dir_.empty()) return found;
  // The envelope is renamed into place last, so each one found has its data.
  std::vector<std::string> bases;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir_ + "/messages", ec)) {
    // Files being written end in ".tmp".
    if (entry.path().extension() == ".envelope") bases.push_back(entry.path().stem().string());
  }
  std::sort(bases.begin(), bases.end());  // numbered with six digits from 000001
  for (const auto& base : bases) {
    const std::string path = dir_ + "/messages/" + base;
    SmtpMessage message;
    std::string envelope = readFile(path + ".envelope");
    size_t start = 0;
    for (size_t end; (end = envelope.find('\n', start)) != std::string::npos; start = end + 1)
      readEnvelopeLine(envelope.substr(start, end - start), message);
    message.content = readFile(path + ".eml");
    found.push_back(std::move(message));
  }
  return found;
}

std::string SmtpServer::logText() const { return dir_.empty() ? std::string() : readFile(dir_ + "/server.log"); }

}  // namespace VizuTest
