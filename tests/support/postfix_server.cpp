#include "support/postfix_server.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace VizuTest {
namespace {

const char* const kPostfix = "/usr/sbin/postfix";
const char* const kMaster = "/usr/lib/postfix/sbin/master";

}  // namespace

bool PostfixServer::available() { return fs::exists(kPostfix) && fs::exists(kMaster); }

PostfixServer::PostfixServer(const DovecotServer& dovecot, TestCertificate certificate)
    : dovecot_(dovecot), certificate_(std::move(certificate)), dir_(makeTempFolder("vizu-postfix")) {
  // Postfix's own processes run as its mail_owner and must walk into the
  // queue; the configuration stays root's.
  chmod(dir_.c_str(), 0755);
}

PostfixServer::~PostfixServer() {
  try {
    stop();
  } catch (...) {
  }
}

void PostfixServer::writeConfig() {
  const std::string uid = std::to_string(dovecot_.mailUid());
  const std::string gid = std::to_string(dovecot_.mailGid());
  writeFile(dir_ + "/vmailbox", recipient() + " Maildir/\n", 0644);

  std::ostringstream main;
  main << "compatibility_level = 3.6\n"
       << "queue_directory = " << dir_ << "/queue\n"
       << "data_directory = " << dir_ << "/data\n"
       << "maillog_file = " << dir_ << "/postfix.log\n"
       << "maillog_file_prefixes = " << dir_ << "\n"
       << "myhostname = mx.vizu.test\n"
       << "mydomain = vizu.test\n"
       << "mydestination =\n"
       << "inet_interfaces = 127.0.0.1\n"
       << "inet_protocols = ipv4\n"
       << "mynetworks = 127.0.0.1/32\n"
       << "alias_maps =\nalias_database =\nlocal_recipient_maps =\nrelayhost =\nbiff = no\n"
       // Mail from every client is remote mail: its header is left as it
       // came, with nothing added (Message-ID, Date) and no address
       // completed.
       << "local_header_rewrite_clients =\n"
       << "always_add_missing_headers = no\n"
       << "strict_rfc821_envelopes = yes\n"
       << "smtpd_forbid_bare_newline = yes\n"
       << "smtpd_forbid_bare_newline_exclusions =\n"
       << "message_size_limit = 26214400\n"
       << "smtpd_tls_cert_file = " << certificate_.certificate << "\n"
       << "smtpd_tls_key_file = " << certificate_.key << "\n"
       << "smtpd_tls_loglevel = 1\n"
       << "smtpd_sasl_type = dovecot\n"
       << "smtpd_sasl_path = " << dovecot_.authSocket() << "\n"
       << "smtpd_relay_restrictions = permit_sasl_authenticated, reject\n"
       << "virtual_mailbox_domains = vizu.test\n"
       << "virtual_mailbox_base = " << dovecot_.folder() << "\n"
       << "virtual_mailbox_maps = texthash:" << dir_ << "/vmailbox\n"
       << "virtual_uid_maps = static:" << uid << "\n"
       << "virtual_gid_maps = static:" << gid << "\n"
       << "virtual_minimum_uid = " << uid << "\n";
  writeFile(dir_ + "/main.cf", main.str(), 0644);

  // Only the services this instance needs, none chrooted (the queue is a
  // temporary folder, not a prepared jail).
  const std::string submission =
      "  -o smtpd_tls_security_level=encrypt\n"
      "  -o smtpd_sasl_auth_enable=yes\n"
      "  -o smtpd_tls_auth_only=yes\n"
      "  -o smtpd_client_restrictions=permit_sasl_authenticated,reject\n";
  std::ostringstream master;
  master << "127.0.0.1:" << submissionPort_ << " inet n - n - - smtpd\n"
         << submission << "127.0.0.1:" << tlsPort_ << " inet n - n - - smtpd\n"
         << "  -o smtpd_tls_wrappermode=yes\n"
         << submission
         << "pickup unix n - n 60 1 pickup\n"
            "cleanup unix n - n - 0 cleanup\n"
            "qmgr unix n - n 300 1 qmgr\n"
            "tlsmgr unix - - n 1000? 1 tlsmgr\n"
            "rewrite unix - - n - - trivial-rewrite\n"
            "bounce unix - - n - 0 bounce\n"
            "defer unix - - n - 0 bounce\n"
            "trace unix - - n - 0 bounce\n"
            "verify unix - - n - 1 verify\n"
            "flush unix n - n 1000? 0 flush\n"
            "proxymap unix - - n - - proxymap\n"
            "proxywrite unix - - n - 1 proxymap\n"
            "smtp unix - - n - - smtp\n"
            "relay unix - - n - - smtp\n"
            "showq unix n - n - - showq\n"
            "error unix - - n - - error\n"
            "retry unix - - n - - error\n"
            "discard unix - - n - - discard\n"
            "local unix - n n - - local\n"
            "virtual unix - n n - - virtual\n"
            "anvil unix - - n - 1 anvil\n"
            "scache unix - - n - 1 scache\n"
            "postlog unix-dgram n - n - 1 postlogd\n";
  writeFile(dir_ + "/master.cf", master.str(), 0644);
}

std::string PostfixServer::postfix(const std::string& action) const {
  const std::string output = dir_ + "/postfix-" + action + ".txt";
  if (runProgram({kPostfix, "-c", dir_, action}, output) != 0) return readFile(output);
  return "";
}

void PostfixServer::start() {
  if (dir_.empty()) throw std::runtime_error("postfix fixture: already stopped");
  if (process_.running()) return;
  std::string error;
  for (int attempt = 0; attempt < 4; ++attempt) {
    submissionPort_ = freeLoopbackPort();
    tlsPort_ = 0;
    while (tlsPort_ == 0 || tlsPort_ == submissionPort_) tlsPort_ = freeLoopbackPort();
    writeConfig();
    // The queue is the folder Postfix works in; "check" then makes its
    // folders with their owners and modes.
    mkdir((dir_ + "/queue").c_str(), 0755);
    if (std::string failed = postfix("check"); !failed.empty())
      throw std::runtime_error("postfix fixture: postfix check failed: " + failed);
    if (!process_.start({kMaster, "-c", dir_, "-d"}, dir_ + "/master.txt")) {
      error = "cannot start a process for " + std::string(kMaster);
      continue;
    }
    if (process_.awaitGreeting(submissionPort_, "220", 15000)) return;
    error = logText();
  }
  throw std::runtime_error("postfix fixture: the server did not come up: " + error);
}

void PostfixServer::stop() {
  if (process_.running()) postfix("stop");
  process_.stop();
  removeTempFolder(dir_);
}

std::string PostfixServer::logText() const {
  return dir_.empty() ? std::string() : readFile(dir_ + "/postfix.log") + readFile(dir_ + "/master.txt");
}

}  // namespace VizuTest
