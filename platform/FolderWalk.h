// The depth-first walk of a folder tree that product folders and Startup
// folders share. Nothing here raises.
#pragma once

#include <cwchar>
#include <string>

#include "platform/Text.h"

namespace pelmo {

// What a find entry is: "." or "..", a folder, a link (junction or
// symbolic link).
inline bool IsDots(const wchar_t* name) { return !wcscmp(name, L".") || !wcscmp(name, L".."); }
inline bool IsFolder(const WIN32_FIND_DATAW& fd) { return fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY; }
inline bool IsLink(const WIN32_FIND_DATAW& fd) { return fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT; }

// How deep the recursive walks of product folders go below their start.
constexpr int kMaxWalkDepth = 128;

// Every file under the folder, depth-first; ".svn" folders (exact case) are
// skipped, linked folders are not entered, and nothing deeper than
// kMaxWalkDepth below the start is listed.
void ListFolderFiles(const std::wstring& folder, LineList& list);

}  // namespace pelmo
