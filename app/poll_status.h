#pragma once
// The one-line status under the switch: what the last poll came to and when
// the next one is due, in words a user reads at a glance. The log keeps the
// details; the status never replaces it.
#include <string>
#include <string_view>
#include <vector>

namespace Vizu2000 {

struct TPollOutcome {
  std::string time;     // when the poll started, as the clock shows it ("12:04")
  int saved = 0;        // message files written
  int newlySaved = 0;   // of them, files that did not exist before
  int failed = 0;       // messages that could not be retrieved or had no id
  std::string failure;  // why the poll ended early; empty when it ran to its end
  std::vector<std::string> newFiles;  // the paths of the files that did not exist before, in order
};

// "12:04 243 new messages saved", "12:04 1 new message saved, 2 failed",
// "12:05 failed: connection refused", "12:06 failed: no space left on the
// device after 12 new messages saved".
std::string PollStatusText(const TPollOutcome& outcome);

// The reason of a failed file operation in the status's words: "no space
// left on the device", "no permission to write to the folder", ...; the
// system's own text for the rarer ones.
std::string FileFailureText(int code);

// The text with its control characters written out (a CR as \r, a LF as
// \n, a tab as \t, the others as \x1B and the like), for a log or status
// line that a server's words reach.
std::string Printable(std::string_view text);

}  // namespace Vizu2000
