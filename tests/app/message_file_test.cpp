// Message file names, batches of whole-or-nothing files, stale temporaries.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "app/message_file.h"
#include "platform/error.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const QString& n : QDir(QString::fromStdString(dir)).entryList(QDir::Files | QDir::Hidden))
    names.push_back(n.toStdString());
  return names;
}

}  // namespace

TEST(MessageFileName, JoinsWithASlashAndKeepsPlainIds) {
  EXPECT_EQ(MessageFileName("/home/u/mail", "ab"), "/home/u/mail/ab.eml");
  EXPECT_EQ(MessageFileName("/home/u/mail/", "ab"), "/home/u/mail//ab.eml");
  EXPECT_EQ(MessageFileName("/m", "0000000100000002"), "/m/0000000100000002.eml");
  // Characters Linux allows in names pass unchanged.
  EXPECT_EQ(FileNameOfId("a?b*c:d\\e"), "a?b*c:d\\e");
  EXPECT_EQ(FileNameOfId("."), ".");
  EXPECT_EQ(FileNameOfId(".."), "..");
}

TEST(MessageFileName, NeverLeavesTheFolderAndNeverSharesAName) {
  EXPECT_EQ(FileNameOfId("../../etc/passwd"), "..%2F..%2Fetc%2Fpasswd");
  EXPECT_EQ(FileNameOfId("/abs"), "%2Fabs");
  EXPECT_EQ(FileNameOfId(std::string("a\0b", 3)), "a%00b");
  EXPECT_EQ(FileNameOfId("100%"), "100%25");

  const std::string longId(300, 'x');
  const std::string longName = FileNameOfId(longId);
  EXPECT_LE(longName.size() + 4, 255u);
  EXPECT_EQ(longName.substr(0, 160), std::string(160, 'x'));

  // Ids that an encoder without "%" escaping, or a plain cut, would merge.
  const std::vector<std::string> ids = {"a/b", "a%2Fb", "a%252Fb", "a%b", "a%25b", std::string("a\0b", 3),
                                        "a%00b", longId, longId + "y", std::string(250, 'x'),
                                        std::string(251, 'x'), std::string(100, '/'), "..", "."};
  std::set<std::string> names;
  for (const std::string& id : ids) {
    const std::string name = FileNameOfId(id);
    EXPECT_EQ(name.find('/'), std::string::npos) << name;
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_LE(name.size() + 4, 255u) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), ids.size());
}

TEST(MessageFileName, ARepeatedIdGetsACopyNameThatNoIdHas) {
  EXPECT_EQ(MessageFileName("/m", "ab", 2), "/m/ab%n2.eml");
  EXPECT_EQ(FileNameOfId("ab", 1), "ab");
  // "%" in an id is always escaped, so "%n" never comes from an id itself.
  EXPECT_NE(FileNameOfId("ab%n2"), FileNameOfId("ab", 2));
  // A copy of an id at the length limit still fits and stays distinct.
  const std::string edge(251, 'x');
  EXPECT_LE(FileNameOfId(edge, 12).size() + 4, 255u);
  EXPECT_NE(FileNameOfId(edge, 12), FileNameOfId(edge));
  EXPECT_NE(FileNameOfId(edge, 12), FileNameOfId(edge, 13));
}

TEST(MessageFileBatch, FilesAppearWholeAndPrivateOnlyWhenCommitted) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string a = folder + "/a.eml", b = folder + "/b.eml";
  const std::string bytes("first\r\n\0x\xff", 10);
  {
    TMessageFileBatch batch;
    batch.Add(a, bytes);
    batch.Add(b, "second");
    EXPECT_EQ(batch.PendingCount(), 2u);
    EXPECT_EQ(batch.PendingBytes(), 16u);
    // Before the commit only hidden temporaries exist.
    for (const std::string& name : FilesIn(folder)) EXPECT_EQ(name[0], '.') << name;
    batch.Commit();
    EXPECT_EQ(batch.PendingCount(), 0u);
  }
  EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"a.eml", "b.eml"}));
  EXPECT_EQ(ReadWholeFile(a), bytes);
  struct stat st {};
  ASSERT_EQ(::stat(a.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A batch that is never committed leaves the old file and no temporary.
  {
    TMessageFileBatch batch;
    batch.Add(a, "replacement");
  }
  EXPECT_EQ(ReadWholeFile(a), bytes);
  EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"a.eml", "b.eml"}));
  TMessageFileBatch batch;
  batch.Add(a, "replacement");
  batch.Commit();
  EXPECT_EQ(ReadWholeFile(a), "replacement");
}

// The batch writes through the folder it opened at its first file: a
// destination renamed away and replaced by a link to another folder between
// two files keeps the whole batch, temporaries and renames alike. The next
// batch follows the name to where it points now. Both ways of syncing.
TEST(MessageFileBatch, AFolderSwappedForALinkMidBatchKeepsTheWholeBatch) {
  const TMessageFileBatch::TSync saved = TMessageFileBatch::Sync();
  for (const auto sync : {TMessageFileBatch::TSync::Files, TMessageFileBatch::TSync::FileSystem}) {
    SCOPED_TRACE(sync == TMessageFileBatch::TSync::Files ? "fdatasync" : "syncfs");
    TMessageFileBatch::SetSync(sync);
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string dest = root + "/mail", moved = root + "/moved", other = root + "/other",
                      side = root + "/side";
    for (const std::string& d : {dest, other, side}) ASSERT_TRUE(QDir().mkdir(QString::fromStdString(d)));

    TMessageFileBatch batch;
    batch.Add(MessageFileName(dest, "a"), "first");
    ASSERT_EQ(::rename(dest.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), dest.c_str()), 0);
    std::string big(1 << 20, 'b');
    batch.Add(MessageFileName(dest, "b"), std::move(big));
    EXPECT_TRUE(big.empty());  // taken over, and freed once written
    batch.Add(MessageFileName(side, "c"), "elsewhere");  // another folder of the same batch
    EXPECT_TRUE(FilesIn(other).empty());
    batch.Commit();

    EXPECT_EQ(FilesIn(moved), (std::vector<std::string>{"a.eml", "b.eml"}));
    EXPECT_EQ(ReadWholeFile(moved + "/b.eml"), std::string(1 << 20, 'b'));
    EXPECT_TRUE(FilesIn(other).empty());
    EXPECT_EQ(FilesIn(side), (std::vector<std::string>{"c.eml"}));
    EXPECT_EQ(ReadWholeFile(side + "/c.eml"), "elsewhere");

    batch.Add(MessageFileName(dest, "d"), "next");
    batch.Commit();
    EXPECT_EQ(FilesIn(other), (std::vector<std::string>{"d.eml"}));
    EXPECT_EQ(FilesIn(moved).size(), 2u);
  }
  TMessageFileBatch::SetSync(saved);
}

TEST(MessageFileBatch, ErrorsNameTheFileAndTheReasonAndLeaveNothingBehind) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  TMessageFileBatch batch;
  try {
    batch.Add(folder + "/gone/x.eml", "x");
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + folder + "/gone/x.eml: No such file or directory");
    EXPECT_EQ(e.Code(), ENOENT);
  }
  // A folder in the way of the final name fails the commit, not the write.
  ASSERT_TRUE(QDir(dir.path()).mkdir("taken.eml"));
  batch.Add(folder + "/taken.eml", "x");
  try {
    batch.Commit();
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + folder + "/taken.eml: Is a directory");
  }
  EXPECT_TRUE(FilesIn(folder).empty());  // taken.eml is the folder

  // A temporary taken away before the commit: the sync names its file, and
  // no file of the batch takes its final name.
  ASSERT_EQ(TMessageFileBatch::Sync(), TMessageFileBatch::TSync::Files);
  for (int i = 0; i < 40; ++i) batch.Add(folder + "/m" + std::to_string(i) + ".eml", "x");
  std::vector<std::string> temps = FilesIn(folder);
  ASSERT_EQ(temps.size(), 40u);
  std::sort(temps.begin(), temps.end());
  ASSERT_EQ(::unlink((folder + "/" + temps[17]).c_str()), 0);
  try {
    batch.Commit();
    FAIL() << "no error";
  } catch (const EFileError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.substr(0, 20 + folder.size()), "Cannot write file " + folder + "/m") << what;
    EXPECT_EQ(what.substr(what.find(".eml")), ".eml: No such file or directory");
    EXPECT_EQ(e.Code(), ENOENT);
  }
  EXPECT_TRUE(FilesIn(folder).empty());

  // A write that the system cuts short: the reason is the system's own.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4;
  const sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  try {
    batch.Add(folder + "/big.eml", "more than four bytes");
    ADD_FAILURE() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot write file " + folder + "/big.eml: File too large");
    EXPECT_EQ(e.Code(), EFBIG);
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(FilesIn(folder).empty());
}

TEST(MessageFileBatch, StaleTemporariesOfDeadRunsGoOthersStay) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  auto touch = [&](const std::string& name) {
    std::FILE* f = std::fopen((folder + "/" + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  };
  const std::string deadTemp = ".quenwick-" + std::to_string(dead) + "-3-0badf00d.tmp";
  const std::vector<std::string> kept = {
      ".quenwick-" + std::to_string(::getpid()) + "-1-00000001.tmp",  // a poll of this process
      ".quenwick-1-1-00000001.tmp",                                    // a live process
      ".quenwick-" + std::to_string(dead) + ".tmp",                   // not the pattern
      ".quenwick-x-1-1.tmp", "notes.tmp", "m.eml"};
  touch(deadTemp);
  for (const std::string& name : kept) touch(name);
  RemoveStaleTemporaries(folder);
  std::vector<std::string> expected = kept;
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> left = FilesIn(folder);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
  RemoveStaleTemporaries(folder + "/gone");  // never raises
}
