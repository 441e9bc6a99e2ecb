#include "music/command_line.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "music/helper.h"
#include "music/write.h"
#include "platform/standard_descriptors.h"

namespace tolvane {

namespace {

// The absolute, resolved path of a folder the process can read, or why not.
std::variant<std::string, UsageError> readableFolder(const std::string& given) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(given.c_str(), nullptr), &::free);
  if (!resolved) return UsageError{"cannot use '" + given + "' as the library: " + std::strerror(errno)};
  DIR* dir = ::opendir(resolved.get());
  if (!dir) return UsageError{"cannot read the folder '" + given + "': " + std::strerror(errno)};
  ::closedir(dir);
  return std::string(resolved.get());
}

}  // namespace

std::variant<CommandLine, UsageError> parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  bool listing = false;
  bool help = false;
  bool showVersion = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!isOption) {
      if (!listing) return UsageError{"unexpected argument '" + argument + "'"};
      line.terms.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--version") {
      showVersion = true;
    } else if (argument == "--list") {
      listing = true;
    } else if (argument == "--library" || argument == "--index" || argument == "--audio-sink") {
      if (i + 1 >= arguments.size()) {
        const char* what = argument == "--library" ? "a folder" : argument == "--index" ? "a file" : "a description";
        return UsageError{"option '" + argument + "' needs " + what};
      }
      (argument == "--library" ? line.library : argument == "--index" ? line.index : line.audioSink) = arguments[++i];
    } else {
      return UsageError{"unknown option '" + argument + "'"};
    }
  }
  if (line.index && !line.library) return UsageError{"option '--index' goes with '--library'"};
  if (line.audioSink && !line.library) return UsageError{"option '--audio-sink' goes with '--library'"};
  if (line.audioSink && line.audioSink->find_first_not_of(" \t") == std::string::npos) {
    return UsageError{"option '--audio-sink' needs a description"};
  }
  if (help) {
    line.action = CommandLine::Action::showHelp;
  } else if (showVersion) {
    line.action = CommandLine::Action::showVersion;
  } else if (listing) {
    line.action = CommandLine::Action::listSongs;
  }
  return line;
}

std::string usageText() {
  return R"(Usage: tolvane [--library DIR [--index FILE] [--audio-sink DESCRIPTION]]
       tolvane [--library DIR [--index FILE]] --list [TERM...]
       tolvane --help | --version

Tolvane plays songs on behalf of a parent program. Started without --list, it reads commands
from standard input and writes its messages to standard output, one JSON object per line,
until its input ends. See tolvane(1) and README.md for the protocol.

Options:
  --library DIR  the catalog is the music library in the folder DIR (its audio files);
                 without it, the built-in simulated catalog
  --index FILE   keep the library's index in FILE (default: a file named after DIR in
                 $XDG_CACHE_HOME/tolvane, or ~/.cache/tolvane)
  --audio-sink DESCRIPTION
                 play the library to this GStreamer sink, or chain of elements ending in
                 a sink, in gst-launch syntax (default: autoaudiosink); for example
                 "fakesink sync=true" plays in real time without a sound device
  --list [TERM...]
                 print the catalog's songs, one JSON object per line, and exit; with a
                 library, bring its index up to date first; with TERMs, only the songs whose
                 title, artist or album contains every TERM (ignoring case and accents)
  -h, --help     print this help and exit
  --version      print the version and exit
)";
}

int runCommandLine(int argc, char** argv, const LibraryModes& libraryModes) {
  // Before anything opens a descriptor (an index, a picture), so that none lands on a closed
  // standard one and takes its place. A closed input is then empty, a closed output fails the
  // first write; both end the helper as for a parent that closed them.
  occupyClosedStandardDescriptors();
  // A reader that goes away ends a listing quietly with status 0, as it ends the helper.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto refuse = [](const UsageError& error) {
    writeAll(STDERR_FILENO, "tolvane: " + error.message + " (see tolvane --help)\n");
    return 2;
  };
  const auto parsed = parseCommandLine(arguments);
  if (const auto* error = std::get_if<UsageError>(&parsed)) return refuse(*error);
  const CommandLine& line = std::get<CommandLine>(parsed);
  switch (line.action) {
    case CommandLine::Action::showHelp: return writeAll(STDOUT_FILENO, usageText()) ? 0 : 1;
    case CommandLine::Action::showVersion:
      return writeAll(STDOUT_FILENO, std::string("tolvane ") + version + "\n") ? 0 : 1;
    case CommandLine::Action::listSongs:
    case CommandLine::Action::runHelper: break;
  }
  std::optional<std::string> root;
  if (line.library) {
    auto folder = readableFolder(*line.library);
    if (const auto* error = std::get_if<UsageError>(&folder)) return refuse(*error);
    root = std::get<std::string>(folder);
  }
  if (!root && line.action == CommandLine::Action::runHelper) return Helper::main();
  return libraryModes(line, root);
}

}  // namespace tolvane
