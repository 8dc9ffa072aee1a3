// The poll cycle on its own, without a window: what it reports, a poll
// asked for while one is running, and a server that cannot tell messages
// apart.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>

#include "app/poll_cycle.h"
#include "app/stored_id_list.h"
#include "mail/net/pop3_client.h"
#include "platform/streams.h"
#include "support/loopback_script_server.h"

using namespace Vizu2000;

namespace {

struct RecordingListener : TPollListener {
  void PollLogCleared() override {
    ++cleared;
    log.clear();
  }
  void PollLogLine(const std::string& line) override { log.push_back(line); }
  void PollEnded(const QDateTime&, const TPollOutcome& outcome) override { outcomes.push_back(outcome); }
  int cleared = 0;
  std::vector<std::string> log;
  std::vector<TPollOutcome> outcomes;
};

}  // namespace

TEST(PollCycleAloneTest, ReportsItsLinesAndOutcomeAndSkipsAPollAskedForMeanwhile) {
  VizuTest::LoopbackScriptServer script;
  script.send("+OK ready\r\n")
      .reply("+OK\r\n")                                 // USER
      .reply("+OK\r\n")                                 // PASS
      .reply("+OK\r\n1 20\r\n2 20\r\n.\r\n")            // LIST
      .reply("+OK\r\n1 a\r\n2 b\r\n.\r\n")              // UIDL
      .reply("+OK\r\nSubject: 1\r\n\r\nx\r\n.\r\n")     // RETR 1
      .reply("+OK\r\nSubject: 2\r\n\r\ny\r\n.\r\n")     // RETR 2
      .reply("-ERR\r\n")                                // CAPA: no pipelining
      .reply("+OK\r\n")                                 // DELE 1
      .reply("+OK\r\n")                                 // DELE 2
      .reply("+OK bye\r\n")                             // QUIT
      .close();
  script.start();
  QTemporaryDir tmp;
  const std::string dest = tmp.path().toStdString();
  TREZ2000 pop(nullptr);
  pop.SetHost("127.0.0.1");
  pop.SetPort(script.port());
  pop.SetUserName("u");
  pop.SetPassword("p");
  pop.SetDeleteOnRetrieve(true);
  RecordingListener listener;
  TPollCycle cycle(pop, listener, [&] { return dest; });
  int inner = 0;
  pop.OnProgress = [&](TComponent*, int, int) {
    EXPECT_TRUE(cycle.Running());
    ++inner;
    cycle.Run();  // as a timer tick during the wait would
  };
  cycle.Run();
  script.waitScriptDone(5000);
  script.stop();

  EXPECT_FALSE(cycle.Running());
  EXPECT_GT(inner, 0);
  EXPECT_EQ(listener.cleared, 1);
  ASSERT_EQ(listener.outcomes.size(), 1u);
  EXPECT_EQ(listener.outcomes[0].newlySaved, 2);
  EXPECT_EQ(listener.outcomes[0].failure, "");
  const std::vector<std::string> rest(listener.log.begin() + 1, listener.log.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"Login... ok", "2 messages on server", "Getting UIDL...",
                                            "Retrieving message1...", "Building message body...",
                                            "Saving message to " + dest + "/a.eml", "Getting UIDL...",
                                            "Retrieving message2...", "Building message body...",
                                            "Saving message to " + dest + "/b.eml", "Disconnecting..."}));
  EXPECT_EQ(ReadWholeFile(dest + "/b.eml"), "Subject: 2\r\n\r\ny\r\n");
  EXPECT_EQ(script.commands(), (std::vector<std::string>{"USER u", "PASS p", "LIST", "UIDL", "RETR 1", "RETR 2",
                                                         "CAPA", "DELE 1", "DELE 2", "QUIT"}));
}

TEST(PollCycleAloneTest, AServerWithoutAUidlListingHasEveryMessageFetchedAndSaysSoOnce) {
  VizuTest::LoopbackScriptServer script;
  script.send("+OK ready\r\n")
      .reply("+OK\r\n")                                 // USER
      .reply("+OK\r\n")                                 // PASS
      .reply("+OK\r\n1 20\r\n2 20\r\n.\r\n")            // LIST
      .reply("-ERR not supported\r\n")                  // UIDL
      .reply("+OK 1 a\r\n")                             // UIDL 1
      .reply("+OK\r\nSubject: 1\r\n\r\nx\r\n.\r\n")     // RETR 1
      .reply("+OK 2 b\r\n")                             // UIDL 2
      .reply("+OK\r\nSubject: 2\r\n\r\ny\r\n.\r\n")     // RETR 2
      .reply("+OK bye\r\n")                             // QUIT
      .close();
  script.start();
  QTemporaryDir tmp;
  const std::string dest = tmp.path().toStdString(), lists = dest + "/lists";
  // Stored before, by its id; the same id now may be another message.
  TStoredIdList earlier(lists, "127.0.0.1", script.port(), "u");
  earlier.Add("a");
  earlier.Save();
  TREZ2000 pop(nullptr);
  pop.SetHost("127.0.0.1");
  pop.SetPort(script.port());
  pop.SetUserName("u");
  pop.SetPassword("p");
  RecordingListener listener;
  TPollCycle cycle(pop, listener, [&] { return dest; });
  cycle.SetIdListFolder(lists);
  cycle.Run();
  script.waitScriptDone(5000);
  script.stop();

  EXPECT_EQ(script.commands(), (std::vector<std::string>{"USER u", "PASS p", "LIST", "UIDL", "UIDL 1", "RETR 1",
                                                         "UIDL 2", "RETR 2", "QUIT"}));
  EXPECT_EQ(std::count(listener.log.begin(), listener.log.end(),
                       "The server cannot tell messages apart (no UIDL listing): fetching every message"),
            1);
  EXPECT_EQ(listener.log[3], "The server cannot tell messages apart (no UIDL listing): fetching every message");
  EXPECT_EQ(ReadWholeFile(dest + "/a.eml"), "Subject: 1\r\n\r\nx\r\n");
  TStoredIdList list(lists, "127.0.0.1", script.port(), "u");
  ASSERT_EQ(list.Load(), TStoredIdList::TLoad::Read);
  EXPECT_EQ(list.Size(), 1u);
}
