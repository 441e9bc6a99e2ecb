#pragma once

// Text made from what a library holds: search keys, song ids and file URLs.

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// The form in which texts are compared when searching and sorting: compatibility-decomposed, with
// every combining mark removed and case folded, in any script ("Kōyō" and "KOYO" both give
// "koyo"). `text` must be valid UTF-8.
std::string searchKey(std::string_view text);

// The id of the file at `relativePath` (its bytes, relative to the library's folder), as a positive
// 63-bit number. `attempt` 0 is the file's own; a later attempt is tried only when an earlier one is
// taken by another path, so ids stay put for as long as files keep their paths.
std::int64_t songIdOf(std::string_view relativePath, int attempt = 0);

// The file:// URL of an absolute path, every byte outside the unreserved set and "/" written as
// %XX (so a path that is not UTF-8 still gives a valid URL).
std::string fileUrl(std::string_view absolutePath);

}  // namespace tolvane
