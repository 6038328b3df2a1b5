// The depth-first walk of a folder tree that product folders and Startup
// folders share. Nothing here raises.
#pragma once

#include <string>

#include "platform/Text.h"

namespace pelmo {

// How deep the recursive walks of product folders go below their start.
constexpr int kMaxWalkDepth = 128;

// Every file under the folder, depth-first; ".svn" folders (exact case) are
// skipped, linked folders are not entered, and nothing deeper than
// kMaxWalkDepth below the start is listed.
void ListFolderFiles(const std::wstring& folder, LineList& list);

}  // namespace pelmo
