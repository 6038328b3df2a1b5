#include "products/AppLogFiles.h"

#include <shlobj.h>

#include "platform/AppFrame_New.h"
#include "platform/FileCopy.h"
#include "platform/Handles.h"
#include "products/FileManifest.h"
#include "products/ProductLocations.h"

namespace pelmo {

namespace {

enum class Kind { File, Mask, Tree };
struct Row {
    Kind kind;
    std::wstring path;  // file, or folder with trailing backslash
    std::wstring mask;  // mask rows: the mask; tree rows: the extension or empty
};

void AddMask(const std::wstring& folder, const std::wstring& mask, LineList& set)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(LongPath(folder + mask).c_str(), &fd));
    if (!find) return;
    do {
        if (IsFolder(fd) || IsLink(fd)) continue;
        if (SameText(fd.cFileName, L"desktop.ini") || SameText(fd.cFileName, L"Thumbs.db")) continue;
        set.push_back(folder + fd.cFileName);
    } while (FindNextFileW(find.get(), &fd));
}

// Every file of the tree (the manifest's depth-first walk, which skips
// ".svn" and linked folders), optionally of one lower-case extension.
void AddTree(const std::wstring& folder, const std::wstring& extension, LineList& set)
{
    LineList files;
    ListFolderFiles(folder, files);
    for (auto& f : files) {
        const std::wstring name = ExtractFileName(f);
        const size_t dot = name.rfind(L'.');
        const std::wstring ext = dot == std::wstring::npos ? L"" : ToLower(name.substr(dot));
        if (extension.empty() || ext == extension) set.push_back(std::move(f));
    }
}

LineList Build(const std::vector<Row>& rows)
{
    LineList set;
    for (const auto& r : rows) {
        switch (r.kind) {
        case Kind::File:
            if (FileExists(r.path) && !IsReparsePoint(r.path)) set.push_back(r.path);
            break;
        case Kind::Mask: AddMask(r.path, r.mask, set); break;
        case Kind::Tree: AddTree(r.path, r.mask, set); break;
        }
    }
    return set;
}

// Rows on an install folder that is not known add nothing.
void InstallRows(std::vector<Row>& rows, const std::wstring& install, std::initializer_list<Row> add)
{
    if (install.empty()) return;
    for (const auto& r : add) rows.push_back({r.kind, install + r.path, r.mask});
}

std::wstring UserData() { return ShellFolderPath(CSIDL_APPDATA); }
std::wstring CommonData() { return ShellFolderPath(CSIDL_COMMON_APPDATA); }

void InstallCommonRows(std::vector<Row>& rows, const std::wstring& i)
{
    InstallRows(rows, i,
                {{Kind::File, L"MLVService_Log.txt", L""},
                 {Kind::File, L"checkinfo.txt", L""},
                 {Kind::File, L"sh.dat", L""},
                 {Kind::File, L"Display_log.txt", L""},
                 {Kind::Mask, L"", L"*.log"},
                 {Kind::Mask, L"Update\\", L"*.ini"},
                 {Kind::Mask, L"MLVServiceLog\\", L"*.*"},
                 {Kind::Mask, L"Boottimelog\\", L"*.*"}});
}

void UserDataRows(std::vector<Row>& rows, const std::wstring& u)
{
    for (const wchar_t* sub : {L"Log\\", L"Backup\\", L"Boottime\\", L"Netpace\\", L"Memvault\\", L"Startup Manager\\",
                               L"AutoShutdown\\", L"Registrycleaner\\", L"Registrycleaner\\backup\\",
                               L"Downloader\\"})
        rows.push_back({Kind::Mask, u + sub, L"*.*"});
}

}  // namespace

LineList GetMLVLogFileList()
{
    const std::wstring product = GetProductName();
    const std::wstring i = GetInstallLocation(GetUninstallKeyName());
    const std::wstring u = UserData() + L"Pelmo\\" + product + L"\\";
    const std::wstring c = CommonData() + L"Pelmo\\" + product + L"\\";
    std::vector<Row> rows;
    InstallCommonRows(rows, i);
    rows.push_back({Kind::Mask, u, L"*.ini"});
    UserDataRows(rows, u);
    rows.push_back({Kind::Mask, c, L"*.ini"});
    return Build(rows);
}

LineList GetMLVULogFileList()
{
    const std::wstring product = GetProductName();
    const std::wstring i = GetInstallLocation(L"Molvane Ultimate_is1");
    const std::wstring u = UserData() + L"Pelmo\\Molvane Ultimate\\";
    const std::wstring c = CommonData() + L"Pelmo\\";
    const std::wstring cp = c + product + L"\\";
    std::vector<Row> rows;
    InstallCommonRows(rows, i);
    InstallRows(rows, i,
                {{Kind::File, L"Antivirus\\Plugins\\update.txt", L""},
                 {Kind::File, L"Antivirus\\DetectionEx.ini", L""},
                 {Kind::File, L"mlv_Antivirus_Bugreprot.txt", L""},
                 {Kind::File, L"Bugreport.txt", L""},
                 {Kind::File, L"Bugreport_new.txt", L""},
                 {Kind::Mask, L"DumpFile\\", L"*.dmp"}});
    rows.push_back({Kind::Mask, u, L"*.ini"});
    rows.push_back({Kind::Mask, u, L"*.log"});
    UserDataRows(rows, u);
    rows.push_back({Kind::Mask, u + L"Homepage Protection\\", L"*.*"});
    rows.push_back({Kind::Mask, cp, L"*.dat"});
    rows.push_back({Kind::Mask, cp, L"*.ini"});
    rows.push_back({Kind::Mask, cp + L"Log\\", L"*.*"});
    rows.push_back({Kind::Mask, cp + L"BDLog\\", L"*.log"});
    rows.push_back({Kind::Mask, cp + L"Homepage Protection\\", L"*.log"});
    rows.push_back({Kind::Mask, c + L"MLVDownloader\\", L"*.log"});
    rows.push_back({Kind::Mask, cp + L"Startup Manager\\", L"*.*"});
    rows.push_back({Kind::Mask, cp + L"smBootTime\\", L"*.*"});
    rows.push_back({Kind::File, cp + L"App.bk", L""});
    rows.push_back({Kind::File, cp + L"AppAV.bk", L""});
    rows.push_back({Kind::File, c + L"dnsprotect.ini", L""});
    rows.push_back({Kind::File, c + L"LocalIgnore.ini", L""});
    rows.push_back({Kind::File, c + L"LocalOpted.ini", L""});
    return Build(rows);
}

LineList GetGDXLogFileList()
{
    const std::wstring i = GetInstallLocation(L"Pelmo Gardex_is1");
    const std::wstring u = UserData() + L"Pelmo\\Pelmo Gardex\\";
    const std::wstring c = CommonData() + L"Pelmo\\Pelmo Gardex\\";
    std::vector<Row> rows{{Kind::Tree, u, L""}};
    if (!i.empty() && DirectoryExists(i)) {
        rows.push_back({Kind::Tree, c, L""});
        rows.push_back({Kind::Tree, i + L"log\\", L""});
        rows.push_back({Kind::File, i + L"autoupdate.log", L""});
        rows.push_back({Kind::File, i + L"gdx_Antivirus_Bugreprot.txt", L""});
        rows.push_back({Kind::Tree, i, L".log"});
        rows.push_back({Kind::Tree, i + L"update\\", L".ini"});
    }
    return Build(rows);
}

PrefixTable MLVPrefixes()
{
    const TAppFrame& f = AppFrame();
    const std::wstring product = GetProductName();
    return {{GetInstallLocation(GetUninstallKeyName()), InstallTargetName() + L"\\"},
            {f.AppDataDir + L"\\Pelmo\\" + product + L"\\", L"MLV_AppData\\"},
            {f.CommonAppDataDir + L"\\Pelmo\\" + product + L"\\", L"MLV_ProgramData\\"}};
}

PrefixTable MLVUPrefixes()
{
    const TAppFrame& f = AppFrame();
    return {{GetInstallLocation(L"Molvane Ultimate_is1"), L"MLVU\\AppPath\\"},
            {f.AppDataDir + L"\\Pelmo\\Molvane Ultimate\\", L"MLVU\\AppData\\"},
            {f.CommonAppDataDir + L"\\Pelmo\\" + GetProductName() + L"\\", L"MLVU\\ProgramData\\"}};
}

PrefixTable GDXPrefixes()
{
    const TAppFrame& f = AppFrame();
    return {{GetInstallLocation(L"Pelmo Gardex_is1"), L"GDX\\AppPath\\"},
            {IncludeTrailingBackslash(f.AppDataDir) + L"Pelmo\\Pelmo Gardex\\", L"GDX\\AppData\\"},
            {IncludeTrailingBackslash(f.CommonAppDataDir) + L"Pelmo\\Pelmo Gardex\\", L"GDX\\ProgramData\\"}};
}

void CopyFileSet(const LineList& set, const PrefixTable& prefixes, const std::wstring& gatherFolder)
{
    for (const auto& path : set) {
        const std::pair<std::wstring, std::wstring>* row = nullptr;
        for (const auto& p : prefixes) {
            if (!p.first.empty() && path.compare(0, p.first.size(), p.first) == 0) {
                row = &p;
                break;
            }
        }
        if (!row) continue;  // lies outside every product folder: no place for it
        const std::wstring dest = gatherFolder + row->second + path.substr(row->first.size());
        if (FileExists(dest)) continue;  // listed twice, or copied already
        CopyFileInto(gatherFolder, path, dest, Overwrite::No);
    }
}

void GenMLVLogFiles(const std::wstring& gatherFolder)
{
    CopyFileSet(GetMLVLogFileList(), MLVPrefixes(), gatherFolder);
    CopyFileSet(GetMLVULogFileList(), MLVUPrefixes(), gatherFolder);
}

void GenGDXLogFiles(const std::wstring& gatherFolder)
{
    CopyFileSet(GetGDXLogFileList(), GDXPrefixes(), gatherFolder);
}

std::wstring FindNewestVersionsFile(const std::wstring& folder, const std::wstring& prefix)
{
    const std::wstring dir = ExcludeTrailingBackslash(folder);
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(LongPath(dir + L"\\*.*").c_str(), &fd));
    if (!find) return {};
    const std::wstring upperPrefix = ToUpper(prefix);
    std::wstring best;
    uint32_t bestTime = 0;
    do {
        if (IsDots(fd.cFileName) || IsFolder(fd) || IsLink(fd)) continue;
        const std::wstring name = fd.cFileName;
        const size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos && SameText(name.substr(dot + 1), L"upd")) continue;
        if (ToUpper(name).compare(0, upperPrefix.size(), upperPrefix) != 0) continue;
        FILETIME local{};
        WORD date = 0, time = 0;
        FileTimeToLocalFileTime(&fd.ftLastWriteTime, &local);
        FileTimeToDosDateTime(&local, &date, &time);
        const uint32_t stamp = (uint32_t(date) << 16) | time;
        if (best.empty() || stamp > bestTime) {
            best = name;
            bestTime = stamp;
        }
    } while (FindNextFileW(find.get(), &fd));
    return best.empty() ? std::wstring() : dir + L"\\" + best;
}

void GenNeedFileByBDError(const std::wstring& antivirusFolder, const std::wstring& targetFolder,
                          const std::wstring& gatherFolder)
{
    if (!PathInside(gatherFolder, targetFolder)) return;
    if (!DirectoryExists(targetFolder)) ForceDirectories(ExcludeTrailingBackslash(targetFolder));
    // Without an install folder the path has no drive: there is nothing to look at.
    const bool rooted = antivirusFolder.size() > 2 && (antivirusFolder[1] == L':' ||
                                                       antivirusFolder.compare(0, 2, L"\\\\") == 0);
    if (!rooted) return;
    for (const wchar_t* name : {L"versions.dat", L"versions.id"}) {
        const std::wstring newest = FindNewestVersionsFile(antivirusFolder, name);
        if (!newest.empty() && FileExists(newest))
            CopyFileInto(gatherFolder, newest, IncludeTrailingBackslash(targetFolder) + ExtractFileName(newest),
                         Overwrite::Yes);
    }
}

}  // namespace pelmo
