#pragma once

// The music library (TagLib, SQLite, GdkPixbuf and GLib behind it) and its player (GStreamer) live
// in a module of its own, loaded only by a command line that names a library or lists songs, so
// that the helper on the simulated catalog starts without loading and relocating any of those
// libraries.

namespace tolvane {

// The module's file, beside the executable in the build tree and in lib/tolvane/ when installed.
inline constexpr const char* libraryModuleName = "libtolvane-library.so";

// --list: the songs of the simulated catalog (`root` null) or of the library in the folder `root`
// (absolute) with its index in `indexFile` (null: the default one), filtered by `terms`. Returns
// the exit status.
using ListSongs = int (*)(const char* root, const char* indexFile, int termCount, const char* const* terms);
inline constexpr const char* listSongsSymbol = "tolvaneListSongs";

// The helper on the library in the folder `root` (absolute), with its index in `indexFile` (null:
// the default one), playing to the audio output `audioOutput` (null: the default one). Returns only
// if the main loop does.
using RunLibraryHelper = int (*)(const char* root, const char* indexFile, const char* audioOutput);
inline constexpr const char* runLibraryHelperSymbol = "tolvaneRunLibraryHelper";

}  // namespace tolvane
