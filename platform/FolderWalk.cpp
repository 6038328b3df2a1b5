#include "platform/FolderWalk.h"

#include <cwchar>

#include "platform/Handles.h"

namespace pelmo {

namespace {

// Folders deeper than kMaxWalkDepth below the start are not entered, so no
// tree, however deep, can exhaust the stack.
void Walk(const std::wstring& folder, LineList& list, int depth = 0)
{
    const std::wstring dir = IncludeTrailingBackslash(folder);
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(LongPath(dir + L"*.*").c_str(), &fd));
    if (!find) return;
    do {
        if (IsDots(fd.cFileName)) continue;
        if (IsFolder(fd)) {
            if (wcscmp(fd.cFileName, L".svn") == 0 || IsLink(fd)) continue;
            if (depth < kMaxWalkDepth) Walk(dir + fd.cFileName, list, depth + 1);
        } else {
            list.push_back(dir + fd.cFileName);
        }
    } while (FindNextFileW(find.get(), &fd));
}

}  // namespace

void ListFolderFiles(const std::wstring& folder, LineList& list)
{
    if (folder.empty()) return;
    Walk(folder, list);
}

}  // namespace pelmo
