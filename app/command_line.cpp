#include "app/command_line.h"

#include <string_view>

#ifndef QUENWICK_VERSION
#error "QUENWICK_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace Vizu2000 {

namespace {

struct TQtOption {
  std::string_view name;
  bool takesValue;
};

// The options that QApplication and its X11 and Wayland platforms take out
// of the command line, as Qt 6 documents them. A session manager restarts
// the program with -session, so these must never be refused.
constexpr TQtOption kQtOptions[] = {
    {"platform", true},      {"platformpluginpath", true}, {"platformtheme", true},
    {"plugin", true},        {"qwindowgeometry", true},    {"qwindowicon", true},
    {"qwindowtitle", true},  {"session", true},            {"style", true},
    {"stylesheet", true},    {"display", true},            {"geometry", true},
    {"title", true},         {"icon", true},               {"name", true},
    {"reverse", false},      {"widgetcount", false},       {"sync", false},
    {"nograb", false},       {"dograb", false},            {"qmljsdebugger", false},
};

std::string ProgramName(int argc, const char* const* argv) {
  if (argc < 1 || !argv[0] || !*argv[0]) return "quenwick";
  const std::string_view path = argv[0];
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string Usage(const std::string& program) {
  return "Usage: " + program + " [OPTION]...\n"
         "Fetch one POP3 mailbox on a timer into a folder, each message a file\n"
         "<unique id>.eml; the mailbox, folder and interval are set in its window.\n"
         "\n"
         "  -h, --help     print this help and exit\n"
         "  -V, --version  print the version and exit\n"
         "\n"
         "Qt's own options, such as -platform, -style and -session, are passed on.\n"
         "Settings: ~/.config/Software/" + program + ".ini ($XDG_CONFIG_HOME moves it),\n"
         "or the file that QUENWICK_SETTINGS names.\n"
         "Exit status: 0, or 2 for a command line that is not understood.\n"
         "See quenwick(1).\n";
}

TCommandLine Refuse(const std::string& program, const std::string& why) {
  return {TCommandLineAction::Refuse,
          program + ": " + why + "\nTry '" + program + " --help' for more information.\n"};
}

// The Qt option that arg names ("-x", "--x", or "-x=value"), if any.
const TQtOption* QtOption(std::string_view arg, bool& valueAttached) {
  arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
  const size_t equals = arg.find('=');
  valueAttached = equals != std::string_view::npos;
  if (valueAttached) arg = arg.substr(0, equals);
  for (const TQtOption& option : kQtOptions)
    if (option.name == arg) return &option;
  return nullptr;
}

}  // namespace

TCommandLine ReadCommandLine(int argc, const char* const* argv) {
  const std::string program = ProgramName(argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return {TCommandLineAction::Help, Usage(program)};
    if (arg == "-V" || arg == "--version")
      return {TCommandLineAction::Version, "Quenwick " QUENWICK_VERSION "\n"};
    if (arg.size() < 2 || arg[0] != '-')
      return Refuse(program, "unexpected argument '" + std::string(arg) + "'");
    bool valueAttached = false;
    const TQtOption* option = QtOption(arg, valueAttached);
    if (!option) return Refuse(program, "unknown option '" + std::string(arg) + "'");
    if (option->takesValue && !valueAttached && ++i >= argc)
      return Refuse(program, "option '" + std::string(arg) + "' needs a value");
  }
  return {};
}

}  // namespace Vizu2000
