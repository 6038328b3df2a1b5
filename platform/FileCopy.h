// Copying files into a folder the program owns (the gather folder) without
// being led elsewhere: the destination must resolve inside that folder, no
// folder on the way may be a link, and linked files are neither read nor
// written through.
#pragma once

#include <string>

namespace pelmo {

// GetFullPathNameW: "." and ".." resolved; the text unchanged on failure.
std::wstring FullPathName(const std::wstring& path);
// True when the full path lies inside root (case ignored).
bool PathInside(const std::wstring& root, const std::wstring& path);
// True when neither root nor any folder between root and folder is a link.
bool NoLinksBelow(const std::wstring& root, const std::wstring& folder);

enum class Overwrite { Yes, No };
// Copies source to destination (both full paths), making the destination's
// folders. False, with nothing written, when the destination lies outside
// root or would be reached through a link, when the source is a link, or
// when the copy fails; with Overwrite::No an existing destination is kept.
bool CopyFileInto(const std::wstring& root, const std::wstring& source, const std::wstring& destination,
                  Overwrite overwrite);

}  // namespace pelmo
