// A message file holds what the server sent for its message and nothing
// else. The samples in tests/data/fragile are made to break anything that
// rebuilds a message instead of copying it; they go through a private
// Dovecot and one poll cycle of the real window.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "mail/net/pop3_client.h"
#include "platform/streams.h"
#include "support/dovecot_server.h"
#include "../app/fake_dialogs.h"

extern char** environ;

using namespace Vizu2000;

namespace {

struct Sample {
  std::string name;
  std::string path;
  std::string bytes;
};

std::vector<Sample> FragileSamples() {
  std::vector<Sample> samples;
  for (const auto& entry : std::filesystem::directory_iterator(VIZU_TEST_DATA "/fragile"))
    if (entry.path().extension() == ".eml")
      samples.push_back({entry.path().filename().string(), entry.path().string(),
                         ReadWholeFile(entry.path().string())});
  std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
  return samples;
}

// The file expected for a sample: the text Dovecot sends for it from its
// Maildir (seen in its raw RETR replies) without the dot-stuffing (RFC 1939
// section 3), every line break made CR LF.
std::string ExpectedFile(std::string_view sample) {
  std::string sent;
  sent.reserve(sample.size() + sample.size() / 16 + 2);
  for (size_t i = 0; i < sample.size(); ++i) {
    if (sample[i] == '\n' && (i == 0 || sample[i - 1] != '\r'))
      sent += "\r\n";  // Dovecot sends a bare LF as CR LF
    else
      sent += sample[i];  // Dovecot sends NUL, 8-bit bytes and a lone CR unchanged
  }
  if (!sent.ends_with("\r\n")) sent += "\r\n";  // Dovecot ends a last line that has no break

  std::string file;
  file.reserve(sent.size() + 16);
  for (size_t i = 0; i < sent.size(); ++i) {
    file += sent[i];
    // A lone CR is a line break too: CR belongs only in CR LF (RFC 5322 section 2.3).
    if (sent[i] == '\r' && (i + 1 == sent.size() || sent[i + 1] != '\n')) file += '\n';
  }
  return file;
}

std::string Escaped(std::string_view bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c >= 0x20 && c < 0x7f && c != '\\')
      out += static_cast<char>(c);
    else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// Where two texts first part ways, with a little of each around that place:
// enough to see the cause in a file of hundreds of kilobytes.
std::string FirstDifference(const std::string& got, const std::string& want) {
  const size_t at = static_cast<size_t>(
      std::mismatch(got.begin(), got.begin() + std::min(got.size(), want.size()), want.begin()).first - got.begin());
  const size_t from = at > 60 ? at - 60 : 0;
  const size_t line = 1 + std::count(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(from), '\n');
  return "sizes " + std::to_string(got.size()) + " (got) and " + std::to_string(want.size()) +
         " (expected), first difference at byte " + std::to_string(at) + ", from line " + std::to_string(line) +
         ":\n  got:      " + Escaped(std::string_view(got).substr(from, 160)) +
         "\n  expected: " + Escaped(std::string_view(want).substr(from, 160));
}

struct Reading {
  int status = -1;
  std::string text;
};

// How Python's standard mail reader (Debian's python3) reads a message file:
// see tests/data/mail_structure.py.
Reading PythonReading(const std::string& file) {
  Reading reading;
  int out[2];
  if (pipe(out) != 0) return reading;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  const std::string python = "/usr/bin/python3", script = VIZU_TEST_DATA "/mail_structure.py";
  std::vector<char*> argv = {const_cast<char*>(python.c_str()), const_cast<char*>("-I"),
                             const_cast<char*>(script.c_str()), const_cast<char*>(file.c_str()), nullptr};
  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned == 0) {
    char buf[65536];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;) {
      if (n > 0)
        reading.text.append(buf, static_cast<size_t>(n));
      else if (errno != EINTR)
        break;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reading.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(out[0]);
  return reading;
}

class StoredBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENWICK_SETTINGS", (tmp_.path() + "/quenwick.ini").toStdString().c_str(), 1);
    dest_ = tmp_.path().toStdString() + "/mail";
    QDir().mkpath(QString::fromStdString(dest_));
    samples_ = FragileSamples();
    ASSERT_GE(samples_.size(), 15u);
  }
  void TearDown() override { unsetenv("QUENWICK_SETTINGS"); }

  // Puts every sample on the server (served in the order of the samples'
  // names), runs one poll cycle of the switched-on window and returns the
  // unique id of each sample's message.
  std::vector<std::string> FetchAll(bool deleteOnRetrieve) {
    for (size_t i = 0; i < samples_.size(); ++i) {
      char name[24];
      std::snprintf(name, sizeof name, "%04zu", i + 1);
      server_.addMessage(name, samples_[i].bytes);
    }
    server_.start();
    const std::vector<std::string> ids = server_.uniqueIds();
    EXPECT_EQ(ids.size(), samples_.size());

    TfrmMain w;
    w.show();
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server_.userName()));
    w.Password->setText(QString::fromStdString(server_.password()));
    w.Port->setText(QString::number(server_.port()));
    w.Security->setCurrentText("None");  // the server listens in the clear
    w.DestDir->SetText(dest_);
    w.DelOnRet->setChecked(deleteOnRetrieve);
    w.PollSecs->SetValue(3600);
    w.OnOff->SetStateOn(true);
    EXPECT_TRUE(w.TimerList->Active());
    w.TimerList->SetActive(false);  // the test runs the cycle itself
    w.evGetMailTimer(w.evGetMail);
    EXPECT_EQ(w.LogLines().back(), "Disconnecting...");
    EXPECT_TRUE(dialogs_.errors.empty()) << ::testing::PrintToString(dialogs_.errors);
    return ids;
  }

  std::string FileOf(const std::string& id) const { return dest_ + "/" + id + ".eml"; }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const QString& n : QDir(QString::fromStdString(dest_)).entryList(QDir::Files | QDir::Hidden))
      names.push_back(n.toStdString());
    return names;
  }

  // One file per message, each holding exactly what the server sent.
  void ExpectEveryFileExact(const std::vector<std::string>& ids) {
    ASSERT_EQ(ids.size(), samples_.size());
    std::vector<std::string> expectedNames;
    for (const std::string& id : ids) expectedNames.push_back(id + ".eml");
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(Files(), expectedNames);
    for (size_t i = 0; i < samples_.size(); ++i) {
      SCOPED_TRACE(samples_[i].name);
      if (!QFile::exists(QString::fromStdString(FileOf(ids[i])))) {
        ADD_FAILURE() << "no file " << FileOf(ids[i]);
        continue;
      }
      const std::string stored = ReadWholeFile(FileOf(ids[i]));
      const std::string expected = ExpectedFile(samples_[i].bytes);
      EXPECT_TRUE(stored == expected) << FirstDifference(stored, expected);
    }
  }

  QTemporaryDir tmp_;
  std::string dest_;
  std::vector<Sample> samples_;
  VizuTest::DovecotServer server_;
  VizuTest::FakeDialogs dialogs_;
};

}  // namespace

TEST_F(StoredBytesTest, EveryFileHoldsWhatTheServerSentForItsMessage) {
  const std::vector<std::string> ids = FetchAll(false);
  ExpectEveryFileExact(ids);
  EXPECT_EQ(server_.messageCount(), static_cast<int>(samples_.size()));
}

TEST_F(StoredBytesTest, DeletingOnRetrievalEmptiesTheMailboxAndKeepsEveryFileExact) {
  const std::vector<std::string> ids = FetchAll(true);
  EXPECT_EQ(server_.messageCount(), 0);
  ExpectEveryFileExact(ids);
}

// A file can equal the expectation and still be wrong when the expectation
// is: a reader that shares no code with ours must see in every stored file
// the message of its sample.
TEST_F(StoredBytesTest, PythonsMailReaderSeesEachSampleInItsStoredFile) {
  ASSERT_EQ(access("/usr/bin/python3", X_OK), 0) << "Debian's python3 is needed (package python3)";
  const std::vector<std::string> ids = FetchAll(false);
  ASSERT_EQ(ids.size(), samples_.size());
  for (size_t i = 0; i < samples_.size(); ++i) {
    SCOPED_TRACE(samples_[i].name);
    const Reading original = PythonReading(samples_[i].path);
    ASSERT_EQ(original.status, 0);
    ASSERT_NE(original.text.find("part "), std::string::npos) << original.text;
    const Reading stored = PythonReading(FileOf(ids[i]));
    EXPECT_EQ(stored.status, 0);
    EXPECT_TRUE(stored.text == original.text) << FirstDifference(stored.text, original.text);
  }
}
