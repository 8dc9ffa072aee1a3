#include "support/dovecot_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "mail/net/pop3_client.h"

extern char** environ;

namespace fs = std::filesystem;
using Vizu2000::TREZ2000;

namespace VizuTest {
namespace {

const char* const kMailUser = "vizumail";

using Clock = std::chrono::steady_clock;

// Runs a program and returns its exit status (-1 when it could not start).
int runProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A port nobody listens on now. Another process may take it before Dovecot
// binds it; start() then tries again with a new one.
int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

void writeFile(const std::string& path, std::string_view bytes, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("dovecot fixture: cannot write " + path);
  chmod(path.c_str(), mode);
}

std::string baseName(const std::string& maildirName) {
  return maildirName.substr(0, maildirName.find(':'));
}

}  // namespace

DovecotServer::DovecotServer() {
  char templ[] = "/tmp/vizu-dovecot-XXXXXX";
  if (!mkdtemp(templ)) throw std::runtime_error("dovecot fixture: cannot create a temporary folder");
  dir_ = templ;
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
    << "ssl = no\n"
    << "disable_plaintext_auth = no\n"
    << "auth_mechanisms = plain login\n"
    << "mail_location = maildir:" << dir_ << "/Maildir\n"
    << "first_valid_uid = " << uid << "\n"
    << "last_valid_uid = " << uid << "\n"
    << "pop3_uidl_format = %08Xu%08Xv\n"
    << "default_login_user = " << loginUser_ << "\n"
    << "default_internal_user = " << internalUser_ << "\n"
    // Room for the 100 MB benchmark message.
    << "default_vsz_limit = 2G\n"
    << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir_ << "/users\n}\n"
    << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << dir_ << "/users\n}\n"
    << "service pop3-login {\n"
    << (asRoot_ ? "" : "  chroot =\n")
    << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port_ << "\n  }\n}\n";
  writeFile(dir_ + "/dovecot.conf", c.str(), 0644);
}

bool DovecotServer::launch(std::string& error) {
  std::string program = fs::exists("/usr/sbin/dovecot") ? "/usr/sbin/dovecot" : "dovecot";
  std::string conf = dir_ + "/dovecot.conf";
  std::string out = dir_ + "/stderr.txt";
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("-F"),
                             const_cast<char*>("-c"), const_cast<char*>(conf.c_str()), nullptr};
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on. A test program that dies
    // (a crash, a time-out kill) takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    pid_ = -1;
    error = "cannot start a process for " + program;
    return false;
  }
  if (waitUntilGreeting(15000)) return true;
  error = logText();
  kill();
  return false;
}

bool DovecotServer::waitUntilGreeting(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // it gave up, for instance because the port was taken
      return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    bool greeted = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      pollfd p{fd, POLLIN, 0};
      char buf[64] = {};
      if (poll(&p, 1, 2000) == 1 && recv(fd, buf, sizeof buf - 1, 0) >= 3)
        greeted = std::string_view(buf, 3) == "+OK";
    }
    ::close(fd);
    if (greeted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void DovecotServer::start() {
  if (dir_.empty()) throw std::runtime_error("dovecot fixture: already stopped");
  if (running()) return;
  std::string error;
  for (int attempt = 0; attempt < 4; ++attempt) {
    port_ = freeLoopbackPort();
    writeConfig();
    if (launch(error)) return;
  }
  throw std::runtime_error("dovecot fixture: the server did not come up: " + error);
}

void DovecotServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  int status;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void DovecotServer::stop() {
  kill();
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
  }
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
  std::string text;
  for (const char* name : {"/dovecot.log", "/stderr.txt"}) {
    std::ifstream in(dir_ + name, std::ios::binary);
    text += std::string(std::istreambuf_iterator<char>(in), {});
  }
  return text;
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
