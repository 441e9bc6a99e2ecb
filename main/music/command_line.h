#pragma once

// The helper's command line. With no arguments the process is the helper on its standard input
// and output, on the simulated music service; the options choose a music library, or ask for
// something else (the catalog's songs, usage, version).

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tolvane {

inline constexpr const char* version = TOLVANE_VERSION;

struct CommandLine {
  enum class Action { runHelper, listSongs, showHelp, showVersion };
  Action action = Action::runHelper;
  std::optional<std::string> library;    // --library DIR, as given
  std::optional<std::string> index;      // --index FILE
  std::optional<std::string> audioSink;  // --audio-sink DESCRIPTION
  std::vector<std::string> terms;        // after --list
};

// A command line that cannot be carried out: the one line to tell the user why.
struct UsageError {
  std::string message;
};

// Reads `arguments` (without the program's name). Checks their form only, not the folder.
std::variant<CommandLine, UsageError> parseCommandLine(const std::vector<std::string>& arguments);

// The usage text for --help.
std::string usageText();

// Carries out a well-formed command line that names a music library (`root`: its folder, absolute
// and readable) or lists songs (`root` null: the simulated catalog's). Returns the exit status.
using LibraryModes = std::function<int(const CommandLine& line, const std::optional<std::string>& root)>;

// The process's entry: reads the command line, then runs the helper on the simulated catalog, or
// does what it asks, through `libraryModes` for a library or a listing. Returns the exit status: 0,
// or 2 for a command line that cannot be carried out (one line on stderr).
int runCommandLine(int argc, char** argv, const LibraryModes& libraryModes);

}  // namespace tolvane
