// The main product's logs, settings and crash dumps, copied into the gather
// folder from a fixed table of patterns that start with a path macro.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmo {

// What a macro stands for: the source folder that replaces it, the folder
// relative paths are taken against, and the target in the gather folder.
struct PathMacro {
    const wchar_t* name;
    std::wstring source;
    std::wstring base;
    std::wstring target;
};
// The macros of the log table and of the LiveUpdate logs, for this run.
std::vector<PathMacro> LogMacros();
PathMacro ProgramFilesX86Macro();

// The 43 patterns, in order ({P} already replaced by the product name).
std::vector<std::wstring> LoadLogPatterns();

// Path of file relative to base: shared leading folders (case ignored) are
// dropped, each base folder left over becomes "..".
std::wstring RelativePath(const std::wstring& base, const std::wstring& file);

// Expands one pattern with the given macros and copies what it names into
// the gather folder (with trailing backslash). Never writes outside it.
void CopyByPattern(const std::wstring& pattern, const std::wstring& gatherFolder,
                   const std::vector<PathMacro>& macros);

void LoadLog(const std::wstring& gatherFolder);
// limitMiB 0: no limit.
void LoadOtherInfo(const std::wstring& gatherFolder, uint32_t limitMiB);
void LoadOnlyForTrevioTool(const std::wstring& gatherFolder);

}  // namespace pelmo
