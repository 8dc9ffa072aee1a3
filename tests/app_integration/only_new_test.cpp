// Polls that fetch only what they have not stored before, against a private
// Dovecot whose log counts the RETRs of every session ("retr=N/bytes").
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/stored_id_list.h"
#include "app/timer_list.h"
#include "platform/streams.h"
#include "support/dovecot_server.h"
#include "support/server_process.h"
#include "../app/fake_dialogs.h"

using namespace Vizu2000;

namespace {

std::string Message(int n) { return "Subject: " + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n"; }

std::string Name(int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d", n);
  return name;
}

class OnlyNewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENWICK_SETTINGS", ini_.c_str(), 1);
    QDir().mkpath(QString::fromStdString(dest_));
  }
  void TearDown() override { unsetenv("QUENWICK_SETTINGS"); }

  void Serve(int messages) {
    for (int n = 1; n <= messages; ++n) server_.addMessage(Name(n), Message(n));
    server_.start();
    ids_ = server_.uniqueIds();  // the first session the server logs
    ASSERT_EQ(ids_.size(), static_cast<size_t>(messages));
  }

  void SwitchOn(TfrmMain& w, bool deleteOnRetrieve) {
    w.show();
    w.Security->setCurrentText("None");
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server_.userName()));
    w.Password->setText(QString::fromStdString(server_.password()));
    w.Port->setText(QString::number(server_.port()));
    w.DestDir->SetText(dest_);
    w.DelOnRet->setChecked(deleteOnRetrieve);
    w.PollSecs->SetValue(3600);
    w.OnOff->SetStateOn(true);
    ASSERT_TRUE(w.TimerList->Active());
    w.TimerList->SetActive(false);
  }

  // One poll's log without its connect line.
  std::vector<std::string> Poll(TfrmMain& w) {
    w.evGetMailTimer(w.evGetMail);
    std::vector<std::string> log = w.LogLines();
    if (!log.empty()) log.erase(log.begin());
    return log;
  }

  // The log lines of message n, fetched with the id of the nth message served.
  std::vector<std::string> Fetched(int n, int served = 0) const {
    return {"Getting UIDL...", "Retrieving message" + std::to_string(n) + "...", "Building message body...",
            "Saving message to " + dest_ + "/" + ids_[(served ? served : n) - 1] + ".eml"};
  }

  // What the server logged when its nth session ended ("... retr=2/64,
  // del=0/2, ..."), counted from the first.
  std::string Session(size_t n) const {
    const std::vector<std::string> lines = server_.logLines("retr=", n);
    return lines.size() >= n ? lines[n - 1] : "no session " + std::to_string(n) + ":\n" + server_.logText();
  }

  TStoredIdList List() const {
    return TStoredIdList(ini_ + ".state", "127.0.0.1", server_.port(), server_.userName());
  }

  std::string File(int n) const { return ReadWholeFile(dest_ + "/" + ids_[n - 1] + ".eml"); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const QString& n : QDir(QString::fromStdString(dest_)).entryList(QDir::Files | QDir::Hidden))
      names.push_back(n.toStdString());
    return names;
  }

  QTemporaryDir tmp_;
  const std::string ini_ = tmp_.path().toStdString() + "/quenwick.ini";
  const std::string dest_ = tmp_.path().toStdString() + "/mail";
  VizuTest::DovecotServer server_;
  std::vector<std::string> ids_;
  VizuTest::FakeDialogs dialogs_;
};

}  // namespace

TEST_F(OnlyNewTest, ASecondPollFetchesNothingAndALaterMessageComesAlone) {
  Serve(2);
  TfrmMain w;
  SwitchOn(w, false);
  std::vector<std::string> log = Poll(w);
  EXPECT_EQ(log.size(), 11u) << ::testing::PrintToString(log);
  EXPECT_NE(Session(2).find("retr=2/"), std::string::npos) << Session(2);
  // The list is the user's alone, beside the settings file that moved.
  TStoredIdList list = List();
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_TRUE(list.Contains(ids_[0]) && list.Contains(ids_[1]));
  struct stat st {};
  ASSERT_EQ(::stat(list.FileName().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((ini_ + ".state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  log = Poll(w);
  EXPECT_EQ(log, (std::vector<std::string>{"Login... ok", "2 messages on server", "2 messages already saved",
                                           "Disconnecting..."}));
  EXPECT_NE(Session(3).find("retr=0/"), std::string::npos) << Session(3);
  EXPECT_NE(w.StatusText().find(" 0 new messages saved"), std::string::npos) << w.StatusText();

  // A new message comes; the first leaves the server (read elsewhere) and
  // so leaves the list.
  server_.addMessage(Name(3), Message(3));
  for (const char* sub : {"/Maildir/new/", "/Maildir/cur/"})
    for (const auto& entry : std::filesystem::directory_iterator(server_.folder() + sub))
      if (entry.path().filename().string().rfind(Name(1), 0) == 0) std::filesystem::remove(entry.path());
  ids_ = {ids_[0], ids_[1], server_.uniqueIds().at(1)};
  log = Poll(w);
  std::vector<std::string> expected = {"Login... ok", "2 messages on server", "1 message already saved"};
  for (const std::string& line : Fetched(2, 3)) expected.push_back(line);
  expected.push_back("Disconnecting...");
  EXPECT_EQ(log, expected);
  EXPECT_NE(Session(5).find("retr=1/"), std::string::npos) << Session(5);
  EXPECT_EQ(File(3), Message(3));
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 2u);
  EXPECT_FALSE(list.Contains(ids_[0]));
  EXPECT_TRUE(list.Contains(ids_[1]) && list.Contains(ids_[2]));
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(OnlyNewTest, DeleteOnRetrieveDeletesAListedMessageWithoutFetchingIt) {
  Serve(2);
  // An earlier poll stored message 1 and its id, then died before its DELE.
  TStoredIdList earlier = List();
  earlier.Add(ids_[0]);
  earlier.Save();
  TfrmMain w;
  SwitchOn(w, true);
  std::vector<std::string> expected = {"Login... ok", "2 messages on server", "1 message already saved"};
  for (const std::string& line : Fetched(2)) expected.push_back(line);
  expected.push_back("Disconnecting...");
  EXPECT_EQ(Poll(w), expected);
  EXPECT_NE(Session(2).find("retr=1/"), std::string::npos) << Session(2);
  EXPECT_NE(Session(2).find("del=2/"), std::string::npos) << Session(2);
  EXPECT_EQ(server_.messageCount(), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{ids_[1] + ".eml"});

  // An empty mailbox empties the list.
  EXPECT_EQ(Poll(w), (std::vector<std::string>{"Login... ok", "0 messages on server", "Disconnecting..."}));
  TStoredIdList list = List();
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 0u);
}

TEST_F(OnlyNewTest, AFirstPollCountsWholeFilesAlreadyThereAndFetchOnlyNewFalseFetchesAll) {
  Serve(3);
  // Left by a version that kept no list: message 1 whole, message 2 not.
  std::ofstream(dest_ + "/" + ids_[0] + ".eml") << "kept as it was";
  std::ofstream(dest_ + "/" + ids_[1] + ".eml");
  {
    TfrmMain w;
    SwitchOn(w, false);
    ASSERT_TRUE(w.FetchOnlyNew());
    std::vector<std::string> expected = {"Login... ok", "3 messages on server", "1 message already saved"};
    for (int n : {2, 3})
      for (const std::string& line : Fetched(n)) expected.push_back(line);
    expected.push_back("Disconnecting...");
    EXPECT_EQ(Poll(w), expected);
    EXPECT_NE(Session(2).find("retr=2/"), std::string::npos) << Session(2);
    EXPECT_EQ(File(1), "kept as it was");
    EXPECT_EQ(File(2), Message(2));
  }
  TStoredIdList list = List();
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 3u);

  // Set in the settings file: every message again, each file rewritten whole.
  std::ofstream(ini_, std::ios::trunc) << "[TfrmMain]\nFetchOnlyNew=false\n";
  TfrmMain w;
  SwitchOn(w, false);
  ASSERT_FALSE(w.FetchOnlyNew());
  const std::vector<std::string> log = Poll(w);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Getting UIDL..."), 3) << ::testing::PrintToString(log);
  EXPECT_NE(Session(3).find("retr=3/"), std::string::npos) << Session(3);
  EXPECT_EQ(File(1), Message(1));
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(OnlyNewTest, AProgramKilledBetweenFileAndListLosesNothingAndFetchesOnlyThatBatchAgain) {
  // Two batches: 500 files, then one.
  constexpr int kMessages = 501;
  Serve(kMessages);
  const std::string listFolder = ini_ + ".state";
  const std::string childLog = tmp_.path().toStdString() + "/child.log";
  const pid_t child = fork();
  if (child == 0) {
    const int fd = ::open(childLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) ::dup2(fd, 2);
    execl(POLL_UNTIL_KILLED, POLL_UNTIL_KILLED, "127.0.0.1", std::to_string(server_.port()).c_str(),
          server_.userName().c_str(), server_.password().c_str(), dest_.c_str(), listFolder.c_str(), "1", "2",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status << "\n"
                                                                  << VizuTest::readFile(childLog);
  // At its death both batches were whole on disk, the list held the first,
  // and no QUIT had committed the first batch's DELEs.
  EXPECT_EQ(Files().size(), static_cast<size_t>(kMessages));
  TStoredIdList list = List();
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 500u);
  EXPECT_NE(Session(2).find("retr=501/"), std::string::npos) << Session(2);
  EXPECT_EQ(server_.messageCount(), kMessages);

  TfrmMain w;
  SwitchOn(w, true);
  std::vector<std::string> expected = {"Login... ok", "501 messages on server", "500 messages already saved"};
  for (const std::string& line : Fetched(kMessages)) expected.push_back(line);
  expected.push_back("Disconnecting...");
  EXPECT_EQ(Poll(w), expected);
  EXPECT_NE(Session(3).find("retr=1/"), std::string::npos) << Session(3);
  EXPECT_NE(Session(3).find("del=501/"), std::string::npos) << Session(3);
  EXPECT_EQ(server_.messageCount(), 0);
  ASSERT_EQ(Files().size(), static_cast<size_t>(kMessages));
  for (int n = 1; n <= kMessages; ++n) ASSERT_EQ(File(n), Message(n)) << n;
}
