// Which files of each product are on the machine, with version, size, MD5
// digest and time: the manifest block of the main report and the product
// sections of "FilesInfo.txt".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/FolderWalk.h"
#include "platform/Text.h"

namespace pelmo {

// (path, size) of every file under the folder, breadth-first; a folder that
// cannot be listed ends the walk. Linked folders are not entered.
std::vector<std::pair<std::wstring, uint64_t>> ListInstallFiles(const std::wstring& folder);

// 32 lower-case hex digits of the file's MD5; d41d8cd98f00b204e9800998ecf8427e
// for an empty file; empty text when the file cannot be opened or read. The
// file is read in sequential reads of bounded size, so any size works; a
// read error anywhere gives the empty text.
std::wstring GetFileMD5(const std::wstring& path);

// Local last-write time as regional text; 30 December 1899 when the
// attributes cannot be read.
std::wstring FileTimeText(const std::wstring& path);

// The manifest block of AppPath for the main report. Raises nothing.
void GetAppFileInfo(LineList& list);

// Section `row` (1 to 4) of "FilesInfo.txt".
LineList FilesInfoSection(int row);

}  // namespace pelmo
