// The status line's words for each way a poll can end.
#include <gtest/gtest.h>

#include <cerrno>

#include "app/poll_status.h"

using namespace Vizu2000;

namespace {

std::string Failed(const std::string& why, int newlySaved = 0) {
  TPollOutcome outcome;
  outcome.time = "12:05";
  outcome.failure = why;
  outcome.newlySaved = outcome.saved = newlySaved;
  return PollStatusText(outcome);
}

}  // namespace

TEST(PollStatus, APollThatRanToItsEnd) {
  TPollOutcome outcome;
  outcome.time = "12:04";
  outcome.saved = outcome.newlySaved = 243;
  EXPECT_EQ(PollStatusText(outcome), "12:04 243 new messages saved");
  outcome.newlySaved = 1;
  EXPECT_EQ(PollStatusText(outcome), "12:04 1 new message saved");
  // Messages kept on the server are fetched again, but they are not news.
  outcome.newlySaved = 0;
  EXPECT_EQ(PollStatusText(outcome), "12:04 0 new messages saved");
  outcome.failed = 2;
  EXPECT_EQ(PollStatusText(outcome), "12:04 0 new messages saved, 2 failed");
}

TEST(PollStatus, EachKindOfFailureInPlainWords) {
  // The reasons as the POP3 client and the socket give them.
  EXPECT_EQ(Failed("connection refused"), "12:05 failed: connection refused");
  EXPECT_EQ(Failed("host not found"), "12:05 failed: host not found");
  EXPECT_EQ(Failed("wrong user name or password"), "12:05 failed: wrong user name or password");
  EXPECT_EQ(Failed("no answer from the server"), "12:05 failed: no answer from the server");
  // A poll that failed part-way says what it got done first.
  EXPECT_EQ(Failed("connection closed by the server", 12),
            "12:05 failed: connection closed by the server after 12 new messages saved");
  // File errors by the system's error number.
  EXPECT_EQ(Failed(FileFailureText(ENOSPC)), "12:05 failed: no space left on the device");
  EXPECT_EQ(FileFailureText(EDQUOT), "disk quota exceeded");
  EXPECT_EQ(FileFailureText(EACCES), "no permission to write to the folder");
  EXPECT_EQ(FileFailureText(ENOENT), "the folder does not exist");
  EXPECT_EQ(FileFailureText(ENOTDIR), "the destination is not a folder");
  EXPECT_EQ(FileFailureText(EROFS), "the folder is read-only");
  // The rarer ones in the system's words, as part of a sentence.
  EXPECT_EQ(FileFailureText(EFBIG), "file too large");
}

TEST(PollStatusTest, ControlCharactersAreShownNeverObeyed) {
  EXPECT_EQ(Printable("plain id <x@y> ü"), "plain id <x@y> ü");
  EXPECT_EQ(Printable(std::string("a\rb\nc\td\x1B[2J\x7F\0e", 14)), "a\\rb\\nc\\td\\x1B[2J\\x7F\\x00e");
}
