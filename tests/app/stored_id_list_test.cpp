// The list of ids already stored: kept privately, replaced whole, and
// never trusted when it is not exactly what was saved.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <QTemporaryDir>
#include <fstream>

#include "app/message_file.h"
#include "app/stored_id_list.h"
#include "platform/paths.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

const std::vector<std::string> kIds = {"00000001a", "with space", std::string("nul\0byte", 8), "%41", "\xff\x80",
                                       "end 1 x", "Quenwick stored ids 1 u h 1"};

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const QString& n : QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden))
    names.push_back(n.toStdString());
  return names;
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(StoredIdList, KeptPrivatelyReadBackAsSavedAndReplacedOnlyWhenChanged) {
  QTemporaryDir tmp;
  const std::string folder = tmp.path().toStdString() + "/state/quenwick";
  TStoredIdList list(folder, "mail.example.com", 995, "ann@example.com");
  EXPECT_EQ(list.Load(), TStoredIdList::TLoad::Missing);
  for (const std::string& id : kIds) list.Add(id);
  list.Save();
  struct stat st {};
  ASSERT_EQ(::stat(list.FileName().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  TStoredIdList again(folder, "mail.example.com", 995, "ann@example.com");
  ASSERT_EQ(again.Load(), TStoredIdList::TLoad::Read);
  EXPECT_FALSE(again.Changed());
  EXPECT_EQ(again.Size(), kIds.size());
  for (const std::string& id : kIds) EXPECT_TRUE(again.Contains(id)) << id;
  // Another port, another mailbox.
  EXPECT_EQ(TStoredIdList(folder, "mail.example.com", 110, "ann@example.com").Load(), TStoredIdList::TLoad::Missing);

  // Nothing changed, nothing written; a change replaces the file whole.
  const ino_t before = Inode(list.FileName());
  again.Add(kIds[0]);
  again.Save();
  EXPECT_EQ(Inode(list.FileName()), before);
  again.KeepOnly(TUniqueIds{{1, kIds[1]}, {4, kIds[2]}, {9, "not stored"}});
  EXPECT_TRUE(again.Changed());
  again.Save();
  EXPECT_NE(Inode(list.FileName()), before);
  EXPECT_EQ(Entries(folder), std::vector<std::string>{ExtractFileName(list.FileName())});
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 2u);
  EXPECT_TRUE(list.Contains(kIds[1]) && list.Contains(kIds[2]) && !list.Contains("not stored"));
}

TEST(StoredIdList, ACutChangedOrForeignFileCountsAsNoListAndAFailedSaveKeepsTheLastOne) {
  QTemporaryDir tmp;
  const std::string folder = tmp.path().toStdString();
  TStoredIdList list(folder, "h", 110, "u");
  for (const std::string& id : kIds) list.Add(id);
  list.Save();
  const std::string saved = ReadWholeFile(list.FileName());

  auto expectNone = [&](const std::string& bytes, const std::string& what) {
    Write(list.FileName(), bytes);
    EXPECT_EQ(list.Load(), TStoredIdList::TLoad::Damaged) << what;
    EXPECT_EQ(list.Size(), 0u) << what;
    EXPECT_TRUE(list.Changed()) << what;
  };
  for (size_t size = 0; size < saved.size(); ++size) expectNone(saved.substr(0, size), "cut at " + std::to_string(size));
  for (size_t at = 0; at < saved.size(); ++at) {
    std::string changed = saved;
    changed[at] ^= 0x01;
    expectNone(changed, "bit flipped at " + std::to_string(at));
  }
  expectNone(saved + "extra\n", "a line added after the end");

  // Another mailbox's list under this one's name (as a name collision would
  // put it) is not this one's.
  TStoredIdList other(folder, "h", 110, "v");
  Write(other.FileName(), saved);
  EXPECT_EQ(other.Load(), TStoredIdList::TLoad::Damaged);

  // A save that cannot be written whole leaves the last list in place and
  // no temporary behind.
  Write(list.FileName(), saved);
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  for (int i = 0; i < 1000; ++i) list.Add("new" + std::to_string(i));
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{saved.size() + 100, limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(list.Save(), EFileError);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(ReadWholeFile(list.FileName()), saved);
  EXPECT_EQ(Entries(folder).size(), 2u);  // this list and the other's
}
