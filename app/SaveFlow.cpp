#include "app/SaveFlow.h"

#include <deque>

#include "platform/Log.h"
#include "platform/FileCopy.h"
#include "platform/Handles.h"
#include "platform/PrivateFiles.h"
#include "platform/Session.h"

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

bool ClearSaveFile(const std::wstring& saveFile)
{
    if (!FileExists(saveFile) && !IsReparsePoint(saveFile)) return true;
    if (DeleteFileW(saveFile.c_str())) return true;
    WriteLog(L"Cannot delete " + saveFile + L": " + GetLastErrorText());
    return false;
}

namespace {

bool Present(const std::wstring& path)
{
    return GetFileAttributesW(LongPath(ExcludeTrailingBackslash(path)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies the archive to saveFile or a free name beside it, never over
// anything; empty when no copy could be made.
std::wstring CopyArchive(const std::wstring& archive, const std::wstring& saveFile)
{
    std::wstring target = saveFile;
    for (int attempt = 0; attempt < 3 && !target.empty(); ++attempt) {
        if (!Present(target)) {
            if (CopyFileW(archive.c_str(), target.c_str(), TRUE)) return target;
            WriteLog(L"Cannot copy the report to " + target + L": " + GetLastErrorText());
        }
        target = FreeNameBeside(saveFile);
    }
    return {};
}

}  // namespace

SaveOutcome SaveReport(const GatherResult& result, const std::wstring& saveFile)
{
    SaveOutcome outcome;
    const std::wstring& archivePath = result.archivePath;
    if (result.archiveMade && FileExists(archivePath)) {
        WriteLog(L"zip file exist:" + archivePath);
        std::wstring saved = CopyArchive(archivePath, saveFile);
        if (saved.empty()) {
            // Offered where the run made it, and opened up for the user.
            saved = archivePath;
            ShareWithParent(saved);
        }
        WriteLog(L"Save File:" + saved);
        return {SaveKind::Saved, saved};
    }
    if (!result.archiveMade && FileExists(archivePath))
        WriteLog(L"Not this run's report, not offered: " + archivePath);
    WriteLog(L"Save File:" + saveFile);
    std::wstring saveFolder;
    const std::wstring gatherDir = ExtractFilePath(archivePath) + L"GetInfoDir\\";
    std::wstring desFolder;
    bool complete = false;
    if (!archivePath.empty() && DirectoryExists(gatherDir) && !IsReparsePoint(ExcludeTrailingBackslash(gatherDir))) {
        WriteLog(L"GatherFolder exist:" + gatherDir);
        desFolder = ExtractFilePath(saveFile) + L"Pelmo_Debug_Info\\";
        // Never merged into an older rescue: this run's files go into a
        // folder made anew.
        if (Present(desFolder)) desFolder = FreeNameBeside(desFolder);
        if (!desFolder.empty() && CreatePrivateFolder(desFolder)) {
            complete = CopyFolder(desFolder, gatherDir);
            ShareWithParent(desFolder);
        } else {
            WriteLog(L"Cannot create the rescue folder " + desFolder + L": " + GetLastErrorText());
            desFolder.clear();
        }
    }
    if (!archivePath.empty() && DirectoryExists(gatherDir)) {
        WriteLog(L"GatherFolder exist2:" + gatherDir);
        saveFolder = gatherDir;
    }
    if (!desFolder.empty() && DirectoryExists(desFolder)) {
        WriteLog(L"DesFolder exist:" + desFolder);
        // The gather folder goes only when the copy holds every file.
        if (complete) {
            saveFolder = desFolder;
            RemoveFolder(gatherDir);
        } else {
            WriteLog(L"CopyFolder incomplete, keeping:" + gatherDir);
        }
    }
    WriteLog(L"SaveFolder: " + saveFolder);
    if (saveFolder.empty() || !DirectoryExists(saveFolder)) return {SaveKind::LogOnly, saveFolder};
    if (saveFolder == gatherDir) ShareWithParent(gatherDir);
    return {SaveKind::Rescued, saveFolder};
}

}  // namespace pelmo
