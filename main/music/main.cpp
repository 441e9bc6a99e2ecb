#include "music/command_line.h"
#include "music/library_program.h"

int main(int argc, char** argv) {
  return tolvane::runCommandLine(argc, argv, [argv](const tolvane::CommandLine&, const std::optional<std::string>&) {
    return tolvane::startLibraryProgram(argv);
  });
}
