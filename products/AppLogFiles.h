// The fixed per-product file sets (main product, Ultimate suite,
// anti-malware product), copied under product sub-folders of the gather
// folder, and the newest antivirus version files.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

LineList GetMLVLogFileList();
LineList GetMLVULogFileList();
LineList GetGDXLogFileList();

// (leading folder, target sub-folder) rows, first match wins.
using PrefixTable = std::vector<std::pair<std::wstring, std::wstring>>;
PrefixTable MLVPrefixes();
PrefixTable MLVUPrefixes();
PrefixTable GDXPrefixes();

// Copies each path of the set whose leading folder is in the table (exact
// case) to the gather folder, keeping what is there already.
void CopyFileSet(const LineList& set, const PrefixTable& prefixes, const std::wstring& gatherFolder);

void GenMLVLogFiles(const std::wstring& gatherFolder);
void GenGDXLogFiles(const std::wstring& gatherFolder);
// gatherFolder: the folder the target must lie in.
void GenNeedFileByBDError(const std::wstring& antivirusFolder, const std::wstring& targetFolder,
                          const std::wstring& gatherFolder);
// Newest file of the folder whose name starts with prefix (case ignored),
// ".upd" files left out; ties keep the first met. Empty when none.
std::wstring FindNewestVersionsFile(const std::wstring& folder, const std::wstring& prefix);

}  // namespace pelmo
