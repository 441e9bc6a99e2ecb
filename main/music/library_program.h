#pragma once

// The music library (TagLib, SQLite, GdkPixbuf and GLib behind it) and its player (GStreamer) live
// in a program of their own, tolvane-library, which the command line becomes (exec) when it names a
// library or lists songs. The helper on the simulated catalog then starts without loading and
// relocating any of those libraries, with the C++ runtime linked in.

namespace tolvane {

// The library program's file, beside the executable in the build tree and in ../lib/tolvane/ from
// the executable's folder when installed.
inline constexpr const char* libraryProgramName = "tolvane-library";

// Replaces this process with the library program, given the same arguments `argv`. Returns only
// when it cannot: the exit status, after one line on stderr saying why.
int startLibraryProgram(char** argv);

}  // namespace tolvane
