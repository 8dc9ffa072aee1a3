// One poll in a process of its own that kills itself (SIGKILL, as kill -9
// would) when the poll's Nth batch of files has become durable, before the
// list of stored ids learns of them: the integration suite then shows that
// the next poll loses nothing and fetches at most that batch again.
//
//   poll_until_killed HOST PORT USER PASSWORD DEST LIST_FOLDER DELETE(0|1) N
//
// Exits 0 when the poll ended before its Nth batch, 2 on bad arguments.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/poll_cycle.h"
#include "mail/net/pop3_client.h"

namespace {

struct StderrListener : Vizu2000::TPollListener {
  void PollLogCleared() override {}
  void PollLogLine(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
  void PollEnded(const QDateTime&, const Vizu2000::TPollOutcome&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD DEST LIST_FOLDER DELETE N\n", argv[0]);
    return 2;
  }
  QCoreApplication app(argc, argv);
  Vizu2000::TREZ2000 pop(nullptr);
  pop.SetHost(argv[1]);
  pop.SetPort(std::atoi(argv[2]));
  pop.SetUserName(argv[3]);
  pop.SetPassword(argv[4]);
  pop.SetDeleteOnRetrieve(std::string(argv[7]) == "1");
  const std::string dest = argv[5];
  StderrListener listener;
  Vizu2000::TPollCycle cycle(pop, listener, [&] { return dest; });
  cycle.SetIdListFolder(argv[6]);
  const int killAt = std::atoi(argv[8]);
  int batches = 0;
  cycle.OnBatchDurable = [&] {
    if (++batches == killAt) ::kill(::getpid(), SIGKILL);
  };
  cycle.Run();
  return 0;
}
