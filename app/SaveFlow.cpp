#include "app/SaveFlow.h"

#include <deque>

#include "app/Log.h"
#include "platform/FileCopy.h"
#include "platform/Handles.h"

namespace pelmo {

std::wstring RewriteForLoggedOnUser(const std::wstring& desktop, const std::wstring& logUser,
                                    const std::wstring& procUser)
{
    if (logUser.empty() || procUser.empty() || SameText(logUser, procUser)) return desktop;
    return ReplaceAllText(desktop, L"\\" + procUser + L"\\", L"\\" + logUser + L"\\");
}

void GetFiles(const std::wstring& folder, LineList& list)
{
    try {
        std::deque<std::wstring> queue{IncludeTrailingBackslash(folder)};
        while (!queue.empty()) {
            const std::wstring dir = queue.front();
            WIN32_FIND_DATAW fd;
            UniqueFind find(FindFirstFileW(LongPath(dir + L"*.*").c_str(), &fd));
            if (find) {
                do {
                    std::wstring name = fd.cFileName;
                    if (name == L"." || name == L"..") continue;
                    if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // never copied through
                    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                        queue.push_back(dir + name + L"\\");
                    } else {
                        list.push_back(dir + name);
                    }
                } while (FindNextFileW(find.get(), &fd));
            }
            queue.pop_front();
        }
    } catch (...) {
        WriteLog(L"GetFiles except");
    }
}

bool CopyFolder(const std::wstring& destination, const std::wstring& source)
{
    const std::wstring src = IncludeTrailingBackslash(source);
    const std::wstring dst = IncludeTrailingBackslash(ExpandFileName(destination));
    WriteLog(Format(L"CopyFolder (%ls) to (%ls)", source.c_str(), destination.c_str()));
    LineList files;
    GetFiles(src, files);
    std::wstring all;
    for (const auto& f : files) all += f + L"\r\n";
    WriteLog(L"GetFiles result:");
    WriteLog(all);
    bool complete = true;
    for (const auto& file : files) {
        try {
            const std::wstring relative = file.substr(src.size());
            const std::wstring target = dst + relative;
            const std::wstring folder = ExtractFilePath(target);
            if (!DirectoryExists(folder)) ForceDirectories(folder);
            // Elevated: never write through a planted link.
            bool ok = NoLinksBelow(dst, ExcludeTrailingBackslash(folder)) && !IsReparsePoint(target) &&
                      CopyFileW(LongPath(file).c_str(), LongPath(target).c_str(), FALSE);
            if (ok)
                WriteLog(Format(L"CopyFile(%ls,%ls) succ", file.c_str(), target.c_str()));
            else
                complete = false;
        } catch (...) {
            complete = false;
            WriteLog(L"CopyFolder except");
        }
    }
    return complete;
}

}  // namespace pelmo
