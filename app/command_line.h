#pragma once
// The command line, read before the program looks for a display: help and
// version are answered on any terminal, and a mistyped option is refused
// instead of being ignored by a window that opens anyway.
#include <string>

namespace Vizu2000 {

enum class TCommandLineAction { Run, Help, Version, Refuse };

struct TCommandLine {
  TCommandLineAction action = TCommandLineAction::Run;
  std::string text;  // what to print: usage, version, or the refusal (stderr)
};

// Exit status of a refused command line, as for a usage error of any Unix
// command.
constexpr int kCommandLineError = 2;

// Reads the arguments left to right; the first that decides (a help or
// version option, an unknown option, a stray argument) wins. Qt's own
// options (-platform, -style, -session, ...) pass with their values, for
// QApplication to take.
TCommandLine ReadCommandLine(int argc, const char* const* argv);

}  // namespace Vizu2000
