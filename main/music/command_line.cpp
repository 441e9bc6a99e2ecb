#include "music/command_line.h"

#include <unistd.h>

#include <string_view>

#include "music/helper.h"
#include "music/write.h"

namespace tolvane {

std::variant<CommandLine, UsageError> parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      line.action = CommandLine::Action::showHelp;
    } else if (argument == "--version") {
      if (line.action != CommandLine::Action::showHelp) line.action = CommandLine::Action::showVersion;
    } else if (argument.starts_with("-")) {
      return UsageError{"unknown option '" + argument + "'"};
    } else {
      return UsageError{"unexpected argument '" + argument + "'"};
    }
  }
  return line;
}

std::string usageText() {
  return R"(Usage: tolvane [--help | --version]

Tolvane plays songs on behalf of a parent program. Started without arguments, it reads
commands from standard input and writes its messages to standard output, one JSON object
per line, until its input ends. See tolvane(1) and README.md for the protocol.

Options:
  -h, --help   print this help and exit
  --version    print the version and exit
)";
}

int runCommandLine(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto parsed = parseCommandLine(arguments);
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    const std::string line = "tolvane: " + error->message + " (see tolvane --help)\n";
    writeAll(STDERR_FILENO, line);
    return 2;
  }
  switch (std::get<CommandLine>(parsed).action) {
    case CommandLine::Action::showHelp: return writeAll(STDOUT_FILENO, usageText()) ? 0 : 1;
    case CommandLine::Action::showVersion:
      return writeAll(STDOUT_FILENO, std::string("tolvane ") + version + "\n") ? 0 : 1;
    case CommandLine::Action::runHelper: break;
  }
  return Helper::main();
}

}  // namespace tolvane
