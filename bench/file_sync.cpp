// The message files of one poll, without the network: 1000 messages of 20 KB
// written through TMessageFileBatch and committed every 500 files, as the
// window does, made durable once with an fdatasync of each file (side by
// side, as the batch does them) and once with one syncfs of the file
// system. Each way runs on a quiet file system and beside another
// program's large copy: `dd` writing 2 GiB of zeros to the same file
// system without syncing, started before the poll and given a head start
// of 1 GiB, so the poll falls in the middle of the copy as a poll on a
// timer would.
//
// Wall time of the whole poll (writes and commits) and of its commits alone,
// medians of the runs; the runs of the two ways alternate, so a machine
// that slows down hurts both alike.
//
//   build/bench/bench_file_sync [runs=5] [parent folder=/var/tmp]
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/message_file.h"

using Vizu2000::TMessageFileBatch;

namespace {

constexpr int kMessages = 1000;
constexpr size_t kMessageBytes = 20 * 1024;
constexpr int kBatchFiles = 500;  // the window's batch
constexpr long long kCopyBytes = 2048ll << 20;
constexpr long long kHeadStart = 1024ll << 20;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Message() {
  std::string m = "From: sender@example.com\r\nTo: bench@example.com\r\nSubject: twenty kilobytes\r\n\r\n";
  while (m.size() + 80 <= kMessageBytes) m += std::string(78, 'x') + "\r\n";
  m.resize(kMessageBytes, 'y');
  return m;
}

struct Times {
  double poll = 0;
  double commits = 0;
};

Times Poll(const std::string& dest, const std::string& message) {
  Times t;
  const double start = Now();
  TMessageFileBatch batch;
  for (int n = 0; n < kMessages; ++n) {
    batch.Add(Vizu2000::MessageFileName(dest, "uid" + std::to_string(n)), message);
    if (batch.PendingCount() >= kBatchFiles || n == kMessages - 1) {
      const double commitStart = Now();
      batch.Commit();
      t.commits += Now() - commitStart;
    }
  }
  t.poll = Now() - start;
  return t;
}

// dd writing the copy; returns once it has written the head start.
pid_t StartCopy(const std::string& file) {
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string of = "of=" + file;
    const std::string count = "count=" + std::to_string(kCopyBytes >> 20);
    execlp("dd", "dd", "if=/dev/zero", of.c_str(), "bs=1M", count.c_str(), "status=none", nullptr);
    _exit(127);
  }
  for (;;) {
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && st.st_size >= kHeadStart) return pid;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Stops the copy and drops what it wrote: unwritten pages of a removed file
// never reach the disk, and the next run starts on a quiet file system.
void EndCopy(pid_t pid, const std::string& file) {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::filesystem::remove(file);
}

void Settle(const std::string& dest) {
  std::filesystem::remove_all(dest);
  std::filesystem::create_directories(dest);
  ::sync();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const char* Name(TMessageFileBatch::TSync sync) {
  return sync == TMessageFileBatch::TSync::Files ? "fdatasync per file" : "syncfs";
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string parent = argc > 2 ? argv[2] : "/var/tmp";
  std::string templ = parent + "/quenwick-sync-XXXXXX";
  if (!mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = templ, dest = root + "/eml", copy = root + "/copy";
  const std::string message = Message();
  using S = TMessageFileBatch::TSync;
  const S ways[] = {S::Files, S::FileSystem};
  // [way][loaded]
  std::vector<double> poll[2][2], commits[2][2];
  bool failed = false;
  for (int r = 0; r < runs && !failed; ++r) {
    for (int loaded = 0; loaded < 2 && !failed; ++loaded) {
      for (int i = 0; i < 2; ++i) {
        const int w = (i + r) % 2;
        Settle(dest);
        TMessageFileBatch::SetSync(ways[w]);
        const pid_t writer = loaded ? StartCopy(copy) : 0;
        if (writer < 0) {
          std::fprintf(stderr, "the copy did not start\n");
          failed = true;
          break;
        }
        Times t;
        try {
          t = Poll(dest, message);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s\n", e.what());
          failed = true;
        }
        if (loaded) EndCopy(writer, copy);
        if (failed) break;
        std::fprintf(stderr, "run %d, %-6s %-18s poll %7.3f s, commits %7.3f s\n", r + 1,
                     loaded ? "copy" : "quiet", Name(ways[w]), t.poll, t.commits);
        poll[w][loaded].push_back(t.poll);
        commits[w][loaded].push_back(t.commits);
      }
    }
  }
  std::filesystem::remove_all(root);
  if (failed) return 1;

  std::printf("\n%d messages of %zu KB, a commit every %d files; medians of %d runs, seconds\n", kMessages,
              kMessageBytes / 1024, kBatchFiles, runs);
  std::printf("%-20s %-34s %8s %8s\n", "", "", "poll", "commits");
  for (int loaded = 0; loaded < 2; ++loaded)
    for (int w = 0; w < 2; ++w)
      std::printf("%-20s %-34s %8.3f %8.3f\n", Name(ways[w]),
                  loaded ? "beside a 2 GiB copy (1 GiB ahead)" : "quiet file system", Median(poll[w][loaded]),
                  Median(commits[w][loaded]));
  return 0;
}
