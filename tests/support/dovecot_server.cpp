#include "support/dovecot_server.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "mail/net/pop3_client.h"

namespace fs = std::filesystem;
using Vizu2000::TREZ2000;

namespace VizuTest {
namespace {

const char* const kMailUser = "vizumail";

std::string baseName(const std::string& maildirName) {
  return maildirName.substr(0, maildirName.find(':'));
}

}  // namespace

DovecotServer::DovecotServer() {
  dir_ = makeTempFolder("vizu-dovecot");
  // The mail user and the login processes must be able to walk into it.
  chmod(dir_.c_str(), 0755);
  ensureMailUser();
  for (const char* sub : {"/Maildir", "/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
    std::string path = dir_ + sub;
    mkdir(path.c_str(), 0700);
    if (asRoot_ && chown(path.c_str(), mailUid_, mailGid_) != 0)
      throw std::runtime_error("dovecot fixture: cannot hand " + path + " to " + kMailUser);
  }
}

DovecotServer::~DovecotServer() {
  try {
    stop();
  } catch (...) {
  }
}

void DovecotServer::ensureMailUser() {
  asRoot_ = geteuid() == 0;
  if (!asRoot_) {
    // As a normal user everything runs as ourselves.
    mailUid_ = getuid();
    mailGid_ = getgid();
    const passwd* me = getpwuid(mailUid_);
    loginUser_ = internalUser_ = me ? me->pw_name : "nobody";
    return;
  }
  const passwd* pw = getpwnam(kMailUser);
  if (!pw) {
    // Two test programs may race here; whoever loses finds the user made.
    runProgram({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", kMailUser});
    pw = getpwnam(kMailUser);
  }
  if (!pw) throw std::runtime_error(std::string("dovecot fixture: cannot create the system user ") + kMailUser);
  mailUid_ = pw->pw_uid;
  mailGid_ = pw->pw_gid;
  loginUser_ = getpwnam("dovenull") ? "dovenull" : kMailUser;
  internalUser_ = getpwnam("dovecot") ? "dovecot" : kMailUser;
}

void DovecotServer::writeConfig() {
  const std::string uid = std::to_string(mailUid_);
  const std::string gid = std::to_string(mailGid_);
  writeFile(dir_ + "/users", userName_ + ":{PLAIN}" + password_ + ":" + uid + ":" + gid + "::" + dir_ + "::\n", 0644);

  std::ostringstream c;
  c << "instance_name = vizu-" << getpid() << "-" << port_ << "\n"
    << "base_dir = " << dir_ << "/run\n"
    << "state_dir = " << dir_ << "/state\n"
    << "log_path = " << dir_ << "/dovecot.log\n"
    << "info_log_path = " << dir_ << "/dovecot.log\n"
    << "protocols = pop3\n"
    << "listen = 127.0.0.1\n"
    << (certificate_.empty() ? "ssl = no\n"
                             : "ssl = yes\nssl_cert = <" + certificate_ + "\nssl_key = <" + key_ + "\n")
    << "disable_plaintext_auth = no\n"
    << "auth_mechanisms = plain login" << (introspectionUrl_.empty() ? "" : " xoauth2 oauthbearer") << "\n"
    // Refusals are what the token tests are about; no reason to wait 2 s for each.
    << (introspectionUrl_.empty() ? "" : "auth_failure_delay = 0\n")
    << "mail_location = maildir:" << dir_ << "/Maildir\n"
    << "first_valid_uid = " << uid << "\n"
    << "last_valid_uid = " << uid << "\n"
    << "pop3_uidl_format = %08Xu%08Xv\n"
    << "default_login_user = " << loginUser_ << "\n"
    << "default_internal_user = " << internalUser_ << "\n"
    // Room for the 100 MB benchmark message.
    << "default_vsz_limit = 2G\n"
    << (introspectionUrl_.empty()
            ? ""
            : "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + dir_ + "/oauth2.conf\n}\n")
    << "passdb {\n  driver = passwd-file\n"
    << (introspectionUrl_.empty() ? "" : "  mechanisms = plain login\n")
    << "  args = scheme=PLAIN username_format=%u " << dir_ << "/users\n}\n"
    << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << dir_ << "/users\n}\n"
    << "service auth {\n  unix_listener auth-smtp {\n    mode = 0666\n  }\n}\n"
    << "service pop3-login {\n"
    << (asRoot_ ? "" : "  chroot =\n")
    << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port_ << "\n  }\n"
    << "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << tlsPort_
    << (certificate_.empty() ? "" : "\n    ssl = yes") << "\n  }\n}\n";
  writeFile(dir_ + "/dovecot.conf", c.str(), 0644);
  if (!introspectionUrl_.empty())
    writeFile(dir_ + "/oauth2.conf",
              "introspection_mode = post\nintrospection_url = " + introspectionUrl_ +
                  "\nforce_introspection = yes\nusername_attribute = username\n"
                  "active_attribute = active\nactive_value = true\n",
              0644);
}

bool DovecotServer::launch(std::string& error) {
  std::string program = fs::exists("/usr/sbin/dovecot") ? "/usr/sbin/dovecot" : "dovecot";
  if (!process_.start({program, "-F", "-c", dir_ + "/dovecot.conf"}, dir_ + "/stderr.txt")) {
    error = "cannot start a process for " + program;
    return false;
  }
  if (process_.awaitGreeting(port_, "+OK", 15000)) return true;
  error = logText();
  return false;
}

void DovecotServer::start() {
  if (dir_.empty()) throw std::runtime_error("dovecot fixture: already stopped");
  if (running()) return;
  std::string error;
  for (int attempt = 0; attempt < 4; ++attempt) {
    port_ = freeLoopbackPort();
    // Without TLS the implicit-TLS listener stays off (port 0).
    tlsPort_ = 0;
    while (!certificate_.empty() && (tlsPort_ == 0 || tlsPort_ == port_)) tlsPort_ = freeLoopbackPort();
    writeConfig();
    if (launch(error)) return;
  }
  throw std::runtime_error("dovecot fixture: the server did not come up: " + error);
}

void DovecotServer::enableTls(const std::string& certificate, const std::string& key) {
  if (running()) throw std::runtime_error("dovecot fixture: TLS is set before start()");
  certificate_ = certificate;
  key_ = key;
}

void DovecotServer::enableOAuth2(const std::string& introspectionUrl) {
  if (running()) throw std::runtime_error("dovecot fixture: OAuth2 is set before start()");
  introspectionUrl_ = introspectionUrl;
}

void DovecotServer::stop() {
  process_.stop();
  removeTempFolder(dir_);
}

void DovecotServer::addMessage(const std::string& name, std::string_view bytes) {
  if (dir_.empty()) throw std::runtime_error("dovecot fixture: already stopped");
  if (name.empty() || name.find_first_of("/:") != std::string::npos || name[0] == '.')
    throw std::runtime_error("dovecot fixture: bad message file name '" + name + "'");
  // Written in tmp and renamed, as Maildir wants, so the server never sees half a file.
  const std::string tmp = dir_ + "/Maildir/tmp/" + name;
  writeFile(tmp, bytes, 0600);
  if (asRoot_ && chown(tmp.c_str(), mailUid_, mailGid_) != 0)
    throw std::runtime_error("dovecot fixture: cannot hand " + tmp + " to the mail user");
  const std::string target = dir_ + "/Maildir/new/" + name;
  if (std::rename(tmp.c_str(), target.c_str()) != 0)
    throw std::runtime_error("dovecot fixture: cannot move the message into " + target);
}

std::vector<std::string> DovecotServer::maildirFiles() const {
  std::vector<std::string> names;
  if (dir_.empty()) return names;
  for (const char* sub : {"/Maildir/new", "/Maildir/cur"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_ + sub, ec))
      if (entry.is_regular_file()) names.push_back(baseName(entry.path().filename().string()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

int DovecotServer::messageCount() const { return static_cast<int>(maildirFiles().size()); }

std::string DovecotServer::logText() const {
  return readFile(dir_ + "/dovecot.log") + readFile(dir_ + "/stderr.txt");
}

std::vector<std::string> DovecotServer::logLines(const std::string& text, size_t atLeast) const {
  std::vector<std::string> lines;
  for (int i = 0; i < 250; ++i) {
    lines.clear();
    const std::string log = logText();
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
      if (log.substr(start, end - start).find(text) != std::string::npos)
        lines.push_back(log.substr(start, end - start));
    if (lines.size() >= atLeast) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lines;
}

std::vector<std::string> DovecotServer::uniqueIds() const {
  TREZ2000 pop(nullptr);
  pop.SetHost("127.0.0.1");
  pop.SetPort(port_);
  pop.SetUserName(userName_);
  pop.SetPassword(password_);
  std::vector<std::string> ids;
  if (pop.Connect() && pop.Login())
    for (int n = 1; n <= pop.MessageCount(); ++n) ids.push_back(pop.GetUIDL(n));
  pop.Quit();
  return ids;
}

}  // namespace VizuTest
