#include "music/library_program.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "music/write.h"

namespace tolvane {

int startLibraryProgram(char** argv) {
  // Found from this executable's own folder only, never from the working directory.
  std::unique_ptr<char, decltype(&::free)> self(::realpath("/proc/self/exe", nullptr), &::free);
  int problem = self ? ENOENT : errno;
  if (self) {
    std::string folder(self.get());
    folder.erase(folder.rfind('/') + 1);
    for (const std::string& candidate :
         {folder + libraryProgramName, folder + "../lib/tolvane/" + libraryProgramName}) {
      ::execv(candidate.c_str(), argv);
      // A candidate that is missing leaves the reason of one that is there but cannot be run.
      if (errno != ENOENT || problem == ENOENT) problem = errno;
    }
  }
  writeAll(STDERR_FILENO, std::string("tolvane: cannot start the music library program ") + libraryProgramName + ": " +
                              std::strerror(problem) + "\n");
  return 1;
}

}  // namespace tolvane
