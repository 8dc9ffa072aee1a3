// Message file names and whole-or-nothing writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
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

TEST(WriteFileWhole, ReplacesTheFileAtomicallyAndLeavesNoTemporary) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string name = folder + "/m.eml";
  WriteFileWhole(name, [](TStream& s) { s.WriteString(std::string("first\r\n\0x", 10)); });
  EXPECT_EQ(ReadWholeFile(name), std::string("first\r\n\0x", 10));
  WriteFileWhole(name, [](TStream& s) { s.WriteString("second"); });
  EXPECT_EQ(ReadWholeFile(name), "second");
  EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"m.eml"});
  SyncFolder(folder);

  // A writer that fails half-way leaves the old file untouched.
  EXPECT_THROW(WriteFileWhole(name,
                              [](TStream& s) {
                                s.WriteString("partial");
                                throw EVizuError("parse error");
                              }),
               EVizuError);
  EXPECT_EQ(ReadWholeFile(name), "second");
  EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"m.eml"});
}

TEST(WriteFileWhole, ReportsTheFinalNameWhenItCannotCreate) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  try {
    WriteFileWhole(folder + "/gone/x.eml", [](TStream& s) { s.WriteString("x"); });
    FAIL() << "no error";
  } catch (const EVizuError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + folder + "/gone/x.eml");
  }
  // A folder in the way of the final name: nothing is left behind.
  ASSERT_TRUE(QDir(dir.path()).mkdir("taken.eml"));
  try {
    WriteFileWhole(folder + "/taken.eml", [](TStream& s) { s.WriteString("x"); });
    FAIL() << "no error";
  } catch (const EVizuError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + folder + "/taken.eml");
  }
  EXPECT_TRUE(FilesIn(folder).empty());
  EXPECT_THROW(SyncFolder(folder + "/gone"), EVizuError);
}
