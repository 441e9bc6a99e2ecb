// The library program (library_program.h): the whole command line, with the music library and its
// player linked in.

#include <optional>
#include <string>

#include "music/command_line.h"
#include "music/library_helper.h"
#include "music/library_listing.h"
#include "music_service/gstreamer/audio_output.h"
#include "music_service/library/library_index.h"

int main(int argc, char** argv) {
  using namespace tolvane;
  return runCommandLine(argc, argv, [](const CommandLine& line, const std::optional<std::string>& root) {
    if (line.action == CommandLine::Action::listSongs && !root) return listSimulatedCatalog(line.terms);
    const std::string indexFile = line.index ? *line.index : defaultIndexFile(*root);
    if (line.action == CommandLine::Action::listSongs) return listLibrary(*root, indexFile, line.terms);
    return runLibraryHelper(*root, indexFile, line.audioSink.value_or(std::string(defaultAudioOutput)));
  });
}
