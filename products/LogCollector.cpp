#include "products/LogCollector.h"

#include "platform/AppFrame_New.h"
#include "platform/FileCopy.h"
#include "platform/Handles.h"
#include "platform/RegistryClassEx.h"
#include "platform/Text.h"
#include "products/FileManifest.h"
#include "products/ProductLocations.h"

namespace pelmo {

namespace {

const wchar_t* const kLoadLogTable[] = {
    L"%AppPath%\\*.log",
    L"%AppPath%\\Antivirus\\Plugins\\update.txt",
    L"%AppPath%\\Antivirus\\DetectionEx.ini",
    L"%AppPath%\\mlv_Antivirus_Bugreprot.txt",
    L"%AppPath%\\Bugreport.txt",
    L"%AppPath%\\Bugreport_new.txt",
    L"%ProgramData%\\Pelmo\\{P}\\*.dat",
    L"%ProgramData%\\Pelmo\\{P}\\*.ini",
    L"%ProgramData%\\Pelmo\\{P}\\Log\\*.*",
    L"%ProgramData%\\Pelmo\\{P}\\App.bk",
    L"%ProgramData%\\Pelmo\\{P}\\AppAV.bk",
    L"%AppPath%\\checkinfo.txt",
    L"%AppPath%\\sh.dat",
    L"%AppPath%\\MLVService_Log.txt",
    L"%AppPath%\\MLVServiceLog\\*.*",
    L"%AppPath%\\Boottimelog\\*.*",
    L"%AppPath%\\Update\\*.ini",
    L"%AppPath%\\AutoUpdate.log",
    L"%AppPath%\\Display_log.txt",
    L"%AppPath%\\DumpFile\\*.dmp",
    L"%AppData%\\pelmo\\{P}\\*.ini",
    L"%AppData%\\pelmo\\{P}\\*.log",
    L"%AppData%\\pelmo\\{P}\\Log\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Backup\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Boottime\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Netpace\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Memvault\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Startup Manager\\*.*",
    L"%AppData%\\Pelmo\\{P}\\AutoShutdown\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Registrycleaner\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Registrycleaner\\backup\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Downloader\\*.*",
    L"%AppData%\\Pelmo\\{P}\\Startup Manager\\*.ini",
    L"%ProgramData%\\Pelmo\\{P}\\BDLog\\*.log",
    L"%ProgramData%\\Pelmo\\{P}\\Homepage Protection\\*.log",
    L"%AppData%\\Pelmo\\{P}\\Homepage Protection\\*.*",
    L"%ProgramData%\\Pelmo\\MLVDownloader\\*.log",
    L"%ProgramData%\\Pelmo\\dnsprotect.ini",
    L"%ProgramData%\\Pelmo\\LocalIgnore.ini",
    L"%ProgramData%\\Pelmo\\LocalOpted.ini",
    L"%ProgramData%\\Pelmo\\{P}\\Startup Manager\\*.*",
    L"%ProgramData%\\Pelmo\\{P}\\smBootTime\\*.*",
    L"%Minidump%\\*.dmp",
};

std::vector<std::wstring> Split(const std::wstring& path)
{
    std::vector<std::wstring> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find(L'\\', pos);
        if (next == std::wstring::npos) next = path.size();
        parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    return parts;
}

bool IsFile(const WIN32_FIND_DATAW& fd)
{
    return !(fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

void CopyOne(const std::wstring& file, const PathMacro& macro, const std::wstring& gatherFolder)
{
    const std::wstring dest = FullPathName(gatherFolder + macro.target + RelativePath(macro.base, file));
    CopyFileInto(gatherFolder, file, dest, Overwrite::Yes);  // a file that cannot be copied is skipped
}

// Files matching the mask in folder, and below it when recursive; linked
// folders are not entered.
void Collect(const std::wstring& folder, const std::wstring& mask, bool recursive,
             std::vector<std::pair<std::wstring, uint64_t>>& out, int depth = 0)
{
    const std::wstring dir = IncludeTrailingBackslash(folder);
    WIN32_FIND_DATAW fd;
    {
        UniqueFind find(FindFirstFileW(LongPath(dir + mask).c_str(), &fd));
        if (find) {
            do {
                if (IsFile(fd))
                    out.emplace_back(dir + fd.cFileName, (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
            } while (FindNextFileW(find.get(), &fd));
        }
    }
    if (!recursive) return;
    UniqueFind sub(FindFirstFileW(LongPath(dir + L"*.*").c_str(), &fd));
    if (!sub) return;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L".."))
            if (depth < kMaxWalkDepth) Collect(dir + fd.cFileName, mask, true, out, depth + 1);
    } while (FindNextFileW(sub.get(), &fd));
}

}  // namespace

std::vector<PathMacro> LogMacros()
{
    const TAppFrame& frame = AppFrame();
    const std::wstring product = GetProductName();
    const std::wstring windows = ExcludeTrailingBackslash(frame.FolderByKind(0));
    return {
        {L"%AppPath%", ExcludeTrailingBackslash(AppPath()), AppPath(), L"AppPath\\"},
        {L"%AppData%", frame.AppDataDir, frame.AppDataDir + L"\\pelmo\\" + product + L"\\", L"AppData\\"},
        {L"%ProgramData%", frame.CommonAppDataDir, frame.CommonAppDataDir + L"\\pelmo\\" + product + L"\\",
         L"ProgramData\\"},
        {L"%Minidump%", windows + L"\\Minidump", windows + L"\\Minidump\\", L"Minidump\\"},
    };
}

PathMacro ProgramFilesX86Macro()
{
    const std::wstring folder = ExcludeTrailingBackslash(AppFrame().FolderByKind(15));
    return {L"%ProgramFilesX86%", folder, folder + L"\\Pelmo\\", L"Program Files(x86)\\"};
}

std::vector<std::wstring> LoadLogPatterns()
{
    const std::wstring product = GetProductName();
    std::vector<std::wstring> out;
    for (const wchar_t* p : kLoadLogTable) out.push_back(ReplaceAllText(p, L"{P}", product));
    return out;
}

std::wstring RelativePath(const std::wstring& base, const std::wstring& file)
{
    std::vector<std::wstring> b = Split(ExcludeTrailingBackslash(base));
    std::vector<std::wstring> f = Split(file);
    const std::wstring name = f.back();
    f.pop_back();
    if (b.empty() || f.empty() || !SameText(b[0], f[0])) return file;  // another drive
    size_t common = 0;
    while (common < b.size() && common < f.size() && SameText(b[common], f[common])) ++common;
    std::wstring out;
    for (size_t i = common; i < b.size(); ++i) out += L"..\\";
    for (size_t i = common; i < f.size(); ++i) out += f[i] + L"\\";
    return out + name;
}

void CopyByPattern(const std::wstring& pattern, const std::wstring& gatherFolder,
                   const std::vector<PathMacro>& macros)
{
    const PathMacro* macro = nullptr;
    for (const auto& m : macros) {
        const size_t n = wcslen(m.name);
        if (pattern.size() >= n && SameText(pattern.substr(0, n), m.name)) {
            macro = &m;
            break;
        }
    }
    if (!macro || macro->source.empty()) return;  // an empty AppPath skips its patterns
    const std::wstring expanded = FullPathName(macro->source + pattern.substr(wcslen(macro->name)));
    if (expanded.find(L'*') != std::wstring::npos) {
        std::vector<std::pair<std::wstring, uint64_t>> files;
        Collect(ExtractFileDir(expanded), ExtractFileName(expanded), false, files);
        for (const auto& f : files) CopyOne(f.first, *macro, gatherFolder);
    } else if (FileExists(expanded) && !IsReparsePoint(expanded)) {
        CopyOne(expanded, *macro, gatherFolder);
    }
}

void LoadLog(const std::wstring& gatherFolder)
{
    try {
        Wow64RedirectionOff redirection;
        const auto macros = LogMacros();
        for (const auto& p : LoadLogPatterns()) CopyByPattern(p, gatherFolder, macros);
    } catch (...) {
        // The files copied so far stay.
    }
}

void LoadOtherInfo(const std::wstring& gatherFolder, uint32_t limitMiB)
{
    try {
        Wow64RedirectionOff redirection;
        const std::wstring common = AppFrame().CommonAppDataDir;
        if (common.empty()) return;
        const std::wstring folder = IncludeTrailingBackslash(FullPathName(common + L"\\BDLogging\\"));
        std::vector<std::pair<std::wstring, uint64_t>> files;
        Collect(folder, L"*.*", true, files);
        uint64_t total = 0;
        for (const auto& f : files) total += f.second;
        if (limitMiB != 0 && total / 1048576 > limitMiB) return;
        const std::wstring target = gatherFolder + L"OtherInfo\\BDLogging\\";
        for (const auto& f : files)
            CopyFileInto(gatherFolder, f.first, target + f.first.substr(folder.size()), Overwrite::Yes);
    } catch (...) {
    }
}

void LoadOnlyForTrevioTool(const std::wstring& gatherFolder)
{
    try {
        Wow64RedirectionOff redirection;
        const PathMacro macro = ProgramFilesX86Macro();
        if (macro.source.empty()) return;
        CopyByPattern(L"%ProgramFilesX86%\\Pelmo\\LiveUpdate\\*.log", gatherFolder, {macro});
    } catch (...) {
    }
}

}  // namespace pelmo
