// The conversation engine against a scripted socket: exact chunk splits,
// silences, closes, errors and refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "mail/net/socket_talk.h"
#include "platform/event_pump.h"
#include "support/scripted_socket.h"
#include "support/timing.h"

using namespace Vizu2000;
using namespace std::string_literals;
using VizuTest::ServerScript;
using VizuTest::Clock;
using VizuTest::CpuSeconds;
using VizuTest::PumpFor;
using VizuTest::Seconds;

namespace {

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7) % 251);
  return s;
}

using Pair = std::pair<int, int>;

class SocketTalkTest : public ::testing::Test {
 protected:
  // An owner that judges replies the way a line protocol client does.
  void Make(int timeOut = 30) {
    talk = std::make_unique<TSocketTalk>(&owner, VizuTest::ScriptedSocketFactory(script));
    talk->SetTimeOut(timeOut);
    talk->OnEndOfData = [this](TComponent* sender, TSessionState state, const std::string& data,
                               bool& result) {
      EXPECT_EQ(sender, talk.get());
      ends.emplace_back(state, data);
      if (state != stNone && data.compare(0, 3, "+OK") == 0) result = true;
    };
    talk->OnReceiveData = [this](TComponent*, TSessionState state, const std::string& data, bool&) {
      chunks.emplace_back(state, data);
    };
    talk->OnSocketTalkError = [this](TComponent*, TSessionState state, TTalkError error) {
      errors.emplace_back(state, error);
    };
    talk->OnDisconnect = [this](TComponent* sender) {
      EXPECT_EQ(sender, talk.get());
      ++disconnects;
    };
    talk->OnProgress = [this](TComponent* sender, int total, int current) {
      EXPECT_EQ(sender, &owner);
      progress.emplace_back(total, current);
    };
  }

  // Opens the connection and takes the greeting, as a client's Connect does.
  bool Greet() {
    talk->Socket().SetHost("");
    talk->Socket().SetAddress("127.0.0.1");
    talk->Socket().SetPort(110);
    talk->ForceState(stConnect);
    talk->Socket().Open();
    talk->WaitServer();
    return talk->ServerResult();
  }

  bool Step(const std::string& command, const std::string& end, TSessionState state) {
    talk->Talk(command, end, state);
    talk->WaitServer();
    return talk->ServerResult();
  }

  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  TComponent owner{nullptr};
  std::unique_ptr<TSocketTalk> talk;
  std::vector<std::pair<TSessionState, std::string>> ends;
  std::vector<std::pair<TSessionState, std::string>> chunks;
  std::vector<std::pair<TSessionState, TTalkError>> errors;
  std::vector<Pair> progress;
  int disconnects = 0;
};

const std::string kCrLf = "\r\n";
const std::string kDotEnd = "\r\n.\r\n";

TEST_F(SocketTalkTest, RepliesGatherChunksUntilTheirEndByteForByte) {
  script->chunk("+OK ready\r\n")
      .expect("USER a\r\n").chunk("+O").chunk("K fi").chunk("ne\r\n")
      // The terminator split as CR | LF "." | CR LF, and a NUL in the listing.
      .expect("LIST\r\n").chunk("+OK 1\r\n1 1\0"s "2\r").chunk("\n.").chunk("\r\n")
      // A terminator followed by more bytes in the same chunk is no end.
      .expect("RETR 1\r\n").chunk("+OK\r\nx\r\n.\r\ny").chunk("\r\n.\r\n");
  Make();

  EXPECT_TRUE(Greet());
  EXPECT_EQ(talk->LastResponse(), "+OK ready\r\n");
  EXPECT_EQ(script->address, "127.0.0.1");
  EXPECT_EQ(script->port, 110);

  EXPECT_TRUE(Step("USER a\r\n", kCrLf, stUser));
  EXPECT_EQ(talk->LastResponse(), "+OK fine\r\n");
  const std::vector<std::pair<TSessionState, std::string>> userChunks = {
      {stUser, "+O"}, {stUser, "K fi"}, {stUser, "ne\r\n"}};
  EXPECT_EQ(std::vector(chunks.end() - 3, chunks.end()), userChunks);

  EXPECT_TRUE(Step("LIST\r\n", kDotEnd, stList));
  EXPECT_EQ(talk->LastResponse(), "+OK 1\r\n1 1\0"s "2\r\n.\r\n");
  EXPECT_EQ(talk->LastResponse().size(), 17u);

  EXPECT_TRUE(Step("RETR 1\r\n", kDotEnd, stRetr));
  EXPECT_EQ(talk->LastResponse(), "+OK\r\nx\r\n.\r\ny\r\n.\r\n");

  // One end per reply, each with the step's state and the whole reply.
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_EQ(ends[0], std::make_pair(stConnect, "+OK ready\r\n"s));
  EXPECT_EQ(ends[1], std::make_pair(stUser, "+OK fine\r\n"s));
  EXPECT_EQ(ends[2].first, stList);
  EXPECT_EQ(ends[3].first, stRetr);
  EXPECT_EQ(talk->SessionState(), stNone);
  EXPECT_FALSE(talk->Waiting());
  EXPECT_EQ(talk->TalkError(), teNoError);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(disconnects, 0);
  EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
  EXPECT_EQ(script->sent, "USER a\r\nLIST\r\nRETR 1\r\n");
}

TEST_F(SocketTalkTest, ALongReplyInSmallChunksIsGatheredInLinearTime) {
  // 16 MB in 1 KB chunks: re-copying or re-scanning the gathered text per
  // chunk would take minutes.
  const std::string piece = Pattern(1024);
  script->chunk("+OK\r\n").expect("RETR 1\r\n").chunk("+OK\r\n");
  for (int i = 0; i < 16 * 1024; ++i) script->chunk(piece);
  script->chunk("\r\n.\r\n");
  Make();
  talk->OnReceiveData = nullptr;
  ASSERT_TRUE(Greet());
  const auto start = Clock::now();
  EXPECT_TRUE(Step("RETR 1\r\n", kDotEnd, stRetr));
  EXPECT_LT(Seconds(start), 5.0);
  ASSERT_EQ(talk->LastResponse().size(), 16u * 1024 * 1024 + 10);
  EXPECT_EQ(talk->LastResponse().compare(5 + 12345 * 1024, 1024, piece), 0);
}

TEST_F(SocketTalkTest, ForceStateTakesTheFirstChunkAndIdleDataIsDiscardedLater) {
  script->chunk("+O").pause(20).chunk("K hi\r\n");
  Make(7);

  talk->ForceState(stConnect);
  EXPECT_TRUE(talk->Waiting());
  EXPECT_EQ(talk->SessionState(), stConnect);
  EXPECT_TRUE(talk->TimeOutTimer().Enabled());
  EXPECT_EQ(talk->TimeOutTimer().Interval(), 7000);
  talk->Socket().SetAddress("127.0.0.1");
  talk->Socket().Open();
  talk->WaitServer();
  // Even a piece of a line ends a wait that has no expected end.
  EXPECT_FALSE(talk->ServerResult());
  EXPECT_EQ(talk->LastResponse(), "+O");
  EXPECT_FALSE(talk->TimeOutTimer().Enabled());

  // The rest arrives while idle: gathered, reported with no state.
  PumpFor(100);
  EXPECT_EQ(talk->LastResponse(), "+OK hi\r\n");
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[1], std::make_pair(stNone, "+OK hi\r\n"s));
  EXPECT_EQ(chunks.back(), std::make_pair(stNone, "K hi\r\n"s));
  EXPECT_FALSE(talk->ServerResult());

  talk->SetExpectedSize(99);
  talk->ForceState(stQuit);
  EXPECT_EQ(talk->LastResponse(), "");
  EXPECT_EQ(talk->ExpectedSize(), 0);
  EXPECT_EQ(talk->ExpectedEnd(), "");
  talk->Cancel();
  EXPECT_TRUE(script->sent.empty());
}

TEST_F(SocketTalkTest, ReceiveProgressOnlyWhileExpectedSizeIsSet) {
  script->chunk("+OK\r\n")
      .expect("RETR 1\r\n").chunk("+OK\r\n").chunk("abcdefg").chunk("\r\n.\r\n")
      .expect("RETR 2\r\n").chunk("+OK\r\nz\r\n.\r\n");
  Make();
  ASSERT_TRUE(Greet());
  talk->SetExpectedSize(10);
  EXPECT_TRUE(Step("RETR 1\r\n", kDotEnd, stRetr));
  // Current counts everything gathered and may pass Total.
  EXPECT_EQ(progress, (std::vector<Pair>{{10, 5}, {10, 12}, {10, 17}}));
  EXPECT_EQ(talk->ExpectedSize(), 0);
  EXPECT_TRUE(Step("RETR 2\r\n", kDotEnd, stRetr));
  EXPECT_EQ(progress.size(), 3u);
}

TEST_F(SocketTalkTest, SilenceTimesOutButATrickleDoesNot) {
  script->chunk("+OK\r\n")
      .expect("RETR 1\r\n").chunk("+OK\r\n").pause(650).chunk("a\r\n").pause(650).chunk(".\r\n")
      .expect("RETR 2\r\n").chunk("+OK\r\npart");
  Make(1);
  ASSERT_TRUE(Greet());

  // Each chunk restarts the time-out in full.
  auto start = Clock::now();
  EXPECT_TRUE(Step("RETR 1\r\n", kDotEnd, stRetr));
  EXPECT_GT(Seconds(start), 1.2);
  EXPECT_TRUE(errors.empty());

  start = Clock::now();
  EXPECT_FALSE(Step("RETR 2\r\n", kDotEnd, stRetr));
  const double waited = Seconds(start);
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 3.0);
  EXPECT_EQ(errors, (std::vector<std::pair<TSessionState, TTalkError>>{{stRetr, teTimeout}}));
  EXPECT_EQ(talk->TalkError(), teTimeout);
  EXPECT_EQ(talk->SessionState(), stNone);
  EXPECT_EQ(talk->LastResponse(), "+OK\r\npart");
  EXPECT_FALSE(talk->Waiting());
  EXPECT_TRUE(talk->Socket().Active()) << "a time-out leaves the connection open";
  EXPECT_EQ(disconnects, 0);
}

TEST_F(SocketTalkTest, TimeOutZeroNeverFires) {
  script->chunk("+OK\r\n").expect("NOOP\r\n").pause(150).chunk("+OK\r\n");
  Make(0);
  ASSERT_TRUE(Greet());
  EXPECT_EQ(talk->TimeOutTimer().Interval(), 0);
  EXPECT_TRUE(Step("NOOP\r\n", kCrLf, stUser));
  EXPECT_TRUE(errors.empty());

  // Absurd time-outs neither overflow nor fire at once.
  talk->SetTimeOut(5000000);
  talk->ForceState(stConnect);
  EXPECT_EQ(talk->TimeOutTimer().Interval(), 2147483647);
  talk->Cancel();
}

TEST_F(SocketTalkTest, ServerClosingMidReplyEndsTheWaitWithWhatArrived) {
  script->chunk("+OK\r\n").expect("RETR 1\r\n").chunk("+OK\r\nhalf").close();
  Make();
  ASSERT_TRUE(Greet());

  const auto start = Clock::now();
  talk->Talk("RETR 1\r\n", kDotEnd, stRetr);
  talk->SetSendPacketSize(100);
  talk->WaitServer();
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_FALSE(talk->ServerResult());
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(talk->LastResponse(), "+OK\r\nhalf");
  EXPECT_EQ(talk->TalkError(), teNoError);
  EXPECT_EQ(talk->SessionState(), stNone);
  EXPECT_EQ(talk->SendPacketSize(), 0);
  EXPECT_FALSE(talk->Socket().Active());

  // A step on the closed connection fails at once instead of timing out.
  talk->Talk("QUIT\r\n", kCrLf, stQuit);
  EXPECT_FALSE(talk->Waiting());
  talk->WaitServer();
  EXPECT_EQ(errors, (std::vector<std::pair<TSessionState, TTalkError>>{{stQuit, teSend}}));
  EXPECT_EQ(script->sendAnswers.back(), 0);
}

TEST_F(SocketTalkTest, SocketErrorsEndTheStepWithTheirKind) {
  script->refuseConnect().chunk("+OK\r\n").expect("NOOP\r\n").chunk("+OK wor").fail(seReceive);
  Make();
  std::vector<TTalkError> seenInside;
  talk->OnSocketTalkError = [&](TComponent*, TSessionState state, TTalkError error) {
    errors.emplace_back(state, error);
    seenInside.push_back(talk->TalkError());
    talk->Cancel();  // what the clients do
  };

  const auto start = Clock::now();
  EXPECT_FALSE(Greet());
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ(script->lastErrorCode, 0) << "the handled error is cleared for the socket";
  EXPECT_EQ(talk->TalkError(), teNoError);

  // A failed lookup reads as a closed connection.
  script->failLookup();
  EXPECT_FALSE(Greet());
  EXPECT_EQ(disconnects, 1);

  EXPECT_TRUE(Greet());
  EXPECT_FALSE(Step("NOOP\r\n", kCrLf, stUser));
  EXPECT_EQ(talk->LastResponse(), "+OK wor");
  EXPECT_EQ(errors, (std::vector<std::pair<TSessionState, TTalkError>>{{stConnect, teConnect},
                                                                       {stUser, teReceive}}));
  EXPECT_EQ(seenInside, (std::vector<TTalkError>{teConnect, teReceive}));
  EXPECT_EQ(talk->SessionState(), stNone);

  // A send that fails hard ends the step as a send error.
  script->failNextSend = true;
  talk->Talk("QUIT\r\n", kCrLf, stQuit);
  EXPECT_FALSE(talk->Waiting());
  EXPECT_EQ(errors.back(), std::make_pair(stQuit, teSend));
  EXPECT_FALSE(talk->Socket().Active());
}

TEST_F(SocketTalkTest, CancelEndsTheWaitAtOnceWithoutAnError) {
  script->chunk("+OK\r\n").expect("RETR 9\r\n").chunk("-ERR no such message\r\n");
  Make();
  talk->OnReceiveData = [&](TComponent*, TSessionState, const std::string& data, bool& result) {
    if (data.compare(0, 4, "-ERR") == 0 && data.size() >= 2 &&
        data.compare(data.size() - 2, 2, kCrLf) == 0) {
      result = false;
      talk->Cancel();
    }
  };
  ASSERT_TRUE(Greet());
  talk->SetExpectedSize(500);
  const auto start = Clock::now();
  EXPECT_FALSE(Step("RETR 9\r\n", kDotEnd, stRetr));
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ(talk->TalkError(), teNoError);
  EXPECT_EQ(talk->LastResponse(), "-ERR no such message\r\n");
  // The cancelled reply still ends, with no state, and reports no progress.
  EXPECT_EQ(ends.back(), std::make_pair(stNone, "-ERR no such message\r\n"s));
  EXPECT_TRUE(progress.empty());
  EXPECT_TRUE(errors.empty());

  // Cancelled before the wait begins: the wait returns at once.
  talk->Talk("NOOP\r\n", kCrLf, stUser);
  talk->Cancel();
  EXPECT_FALSE(talk->Waiting());
  talk->WaitServer();
  EXPECT_FALSE(talk->ServerResult());
  EXPECT_FALSE(talk->TimeOutTimer().Enabled());
}

TEST_F(SocketTalkTest, ChunkedSendReportsProgressAndSendsEveryByte) {
  const std::string data = Pattern(250000);
  script->chunk("+OK\r\n").expect(data).chunk("+OK taken\r\n").expect("QUIT\r\n").chunk("+OK\r\n");
  Make();
  ASSERT_TRUE(Greet());

  talk->SetSendPacketSize(102400);
  EXPECT_TRUE(Step(data, kCrLf, stSendData));
  EXPECT_EQ(progress, (std::vector<Pair>{{250000, 0}, {250000, 102400}, {250000, 204800},
                                         {250000, 250000}, {250000, 250000}}));
  EXPECT_EQ(talk->SendPacketSize(), 0);

  // Data no longer than the packet goes in one piece with no progress.
  const std::size_t callsBefore = script->sendAnswers.size();
  talk->SetSendPacketSize(6);
  EXPECT_TRUE(Step("QUIT\r\n", kCrLf, stQuit));
  EXPECT_EQ(script->sendAnswers.size(), callsBefore + 1);
  EXPECT_EQ(progress.size(), 5u);
  EXPECT_EQ(talk->SendPacketSize(), 0);
  EXPECT_EQ(script->sent, data + "QUIT\r\n");
  EXPECT_TRUE(script->mismatches.empty());
}

TEST_F(SocketTalkTest, PartlyTakenAndRefusedSendsAreHandedOverAgain) {
  const std::string data = Pattern(5000);
  script->chunk("+OK\r\n").expect(data).chunk("+OK\r\n").expect(data).chunk("+OK\r\n");
  Make();
  ASSERT_TRUE(Greet());
  script->sendLimit = 1000;
  script->refuseSends = 3;

  EXPECT_TRUE(Step(data, kCrLf, stSendData));
  EXPECT_EQ(script->sendAnswers, (std::vector<int>{-1, -1, -1, 1000, 1000, 1000, 1000, 1000}));

  talk->SetSendPacketSize(1500);
  EXPECT_TRUE(Step(data, kCrLf, stSendData));
  EXPECT_EQ(progress, (std::vector<Pair>{{5000, 0}, {5000, 1500}, {5000, 3000}, {5000, 4500},
                                         {5000, 5000}, {5000, 5000}}));
  EXPECT_EQ(script->sent, data + data);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SocketTalkTest, ASendRefusedForEverTimesOutWithoutSpinning) {
  script->chunk("+OK\r\n");
  Make(1);
  ASSERT_TRUE(Greet());
  script->refuseSends = -1;

  talk->SetSendPacketSize(10);
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  talk->Talk(Pattern(30), kCrLf, stSendData);
  const double waited = Seconds(start);
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 3.0);
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.1);
  EXPECT_LT(script->sendAnswers.size(), 10u) << "retries only when something happened";

  EXPECT_EQ(errors, (std::vector<std::pair<TSessionState, TTalkError>>{{stSendData, teTimeout}}));
  EXPECT_FALSE(talk->Waiting());
  EXPECT_EQ(progress, (std::vector<Pair>{{30, 0}})) << "no progress claimed for unsent data";
  EXPECT_EQ(talk->SendPacketSize(), 0);
  const auto waitStart = Clock::now();
  talk->WaitServer();
  EXPECT_LT(Seconds(waitStart), 0.5);
  EXPECT_TRUE(talk->Socket().Active());
}

TEST_F(SocketTalkTest, DestroyingTheEngineClosesQuietly) {
  script->chunk("+OK\r\n");
  Make();
  ASSERT_TRUE(Greet());
  talk.reset();
  PumpFor(20);
  EXPECT_EQ(disconnects, 0);
  EXPECT_EQ(owner.ComponentCount(), 0);
}

}  // namespace

TEST_F(SocketTalkTest, AReplyPastItsLimitEndsTheStepAndIsDroppedFromThere) {
  script->chunk("+OK hi\r\n")
      .expect("A\r\n").chunk("+OK 12345").chunk("678\r\n").chunk("rest\r\n")
      .expect("B\r\n").chunk("+OK 1234\r\n").chunk("idle data!")
      .expect("C\r\n").chunk("+OK\r\n");
  Make();
  talk->SetMaxReplySize(10);
  ASSERT_TRUE(Greet());

  // Nine bytes are kept; the chunk that would pass ten ends the step, and
  // the rest of that reply is dropped, however it ends.
  EXPECT_FALSE(Step("A\r\n", kCrLf, stUser));
  EXPECT_EQ(talk->TalkError(), teReplyTooLong);
  EXPECT_EQ(errors, (std::vector<std::pair<TSessionState, TTalkError>>{{stUser, teReplyTooLong}}));
  PumpFor(30);
  EXPECT_EQ(talk->LastResponse(), "+OK 12345");
  EXPECT_EQ(ends.size(), 1u);  // the greeting's
  // The engine leaves the connection to its owner.
  EXPECT_TRUE(talk->Socket().Active());
  EXPECT_EQ(disconnects, 0);

  // The next step starts afresh; a reply of exactly the limit is whole.
  EXPECT_TRUE(Step("B\r\n", kCrLf, stUser));
  EXPECT_EQ(talk->LastResponse(), "+OK 1234\r\n");
  // Data between steps counts toward the last reply, without an error as
  // no step waits.
  PumpFor(30);
  EXPECT_EQ(talk->LastResponse(), "+OK 1234\r\n");
  EXPECT_EQ(errors.size(), 1u);

  talk->SetMaxReplySize(0);
  EXPECT_TRUE(Step("C\r\n", kCrLf, stUser));
  EXPECT_EQ(talk->LastResponse(), "+OK\r\n");
  EXPECT_TRUE(script->mismatches.empty());
}

TEST_F(SocketTalkTest, AConsumedReplyStillEndsAndEveryByteCounts) {
  // The terminator split as CR | LF "." | CR LF, each piece after lines the
  // handler has consumed.
  script->chunk("+OK ready\r\n")
      .expect("LIST\r\n").chunk("+OK\r\nline\r").chunk("\n.").chunk("\r\n")
      .expect("LIST\r\n").chunk("+OK\r\nline\r").chunk("\n.").chunk("\r\n");
  Make();
  ASSERT_TRUE(Greet());
  // Everything after the status line is consumed as soon as it is in.
  std::vector<std::size_t> dropped;
  talk->OnReceiveData = [&](TComponent*, TSessionState, const std::string&, bool&) {
    dropped.push_back(talk->ConsumeReply(5, talk->LastResponse().size()));
  };
  EXPECT_TRUE(Step("LIST\r\n", kDotEnd, stList));
  // The end is still seen: its last bytes are never dropped.
  EXPECT_EQ(dropped, (std::vector<std::size_t>{0, 2, 2}));
  EXPECT_EQ(talk->LastResponse(), "+OK\r\n\r\n.\r\n");
  EXPECT_EQ(talk->ReplySize(), 14u);

  // The limit counts what was consumed too.
  talk->SetMaxReplySize(13);
  EXPECT_FALSE(Step("LIST\r\n", kDotEnd, stList));
  EXPECT_EQ(talk->TalkError(), teReplyTooLong);
  EXPECT_TRUE(script->mismatches.empty());
}
