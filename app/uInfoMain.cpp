#include "app/uInfoMain.h"

#include <shellapi.h>

#include <atomic>
#include <functional>
#include <memory>

#include "app/Archive.h"
#include "platform/CrashReporter.h"
#include "platform/Log.h"
#include "collectors/Autoruns.h"
#include "collectors/BrowserHelperObjects.h"
#include "collectors/CommandRunner.h"
#include "collectors/ProcessReport.h"
#include "collectors/RegistryExport.h"
#include "collectors/Services.h"
#include "collectors/SystemInfo.h"
#include "collectors/uScheduledTasksEnum.h"
#include "collectors/uWMI_WSC.h"
#include "platform/Handles.h"
#include "platform/PrivateFiles.h"
#include "platform/Session.h"
#include "platform/AppFrame_New.h"
#include "platform/RegistryClassEx.h"
#include "products/AppLogFiles.h"
#include "products/FileManifest.h"
#include "products/LogCollector.h"
#include "products/ProductLocations.h"

namespace pelmo {

namespace {

std::atomic<int> g_productScope{kScopeAll};

static_assert(sizeof(kSeparatorLine) / sizeof(wchar_t) == 82, "separator is 81 asterisks");

// Runs one row inside its own guard: a failure logs the failure line, and
// the completion line follows either way.
// A hardware fault inside the row (a collector that crashes) counts as a
// failure of that row only.
template <typename Fn>
void Guarded(const std::wstring& succLine, const std::wstring& exceptLine, Fn&& fn)
{
    try {
        DWORD fault = 0;
        if (!RunFaultGuarded(std::function<void()>(fn), fault))
            throw Error(Format(L"Exception 0x%08lX", fault));
    } catch (...) {
        WriteLog(exceptLine);
    }
    WriteLog(succLine);
}

template <typename Fn>
void Step(const std::wstring& name, Fn&& fn)
{
    Guarded(name + L" Succ", name + L" Except", std::forward<Fn>(fn));
}

struct SideTask {
    IGatherSteps* steps;
    std::wstring gatherFolder;
};

DWORD WINAPI SideTaskMain(void* param)
{
    std::unique_ptr<SideTask> task(static_cast<SideTask*>(param));
    // A failure here, a hardware fault included, must never end the
    // process; the driver sees only that the thread has ended.
    try {
        FaultScope faults;
        task->steps->WriteSystemInfoFile(task->gatherFolder);
    } catch (...) {
    }
    return 0;
}

// True when a link (junction, symbolic link) lies anywhere below folder
// (trailing backslash). Links are never entered.
bool HoldsLinks(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(LongPath(folder + L"*").c_str(), &fd));
    if (!find) return false;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && HoldsLinks(folder + name + L"\\")) return true;
    } while (FindNextFileW(find.get(), &fd));
    return false;
}

// Deletes every file and folder below folder (trailing backslash), read-only
// ones included; links are neither entered nor deleted.
void DeleteTreeBelow(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(LongPath(folder + L"*").c_str(), &fd));
    if (!find) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // planted meanwhile: left alone
        const std::wstring full = LongPath(folder + name);
        const bool isFolder = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        SetFileAttributesW(full.c_str(), isFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
        if (isFolder) {
            DeleteTreeBelow(folder + name + L"\\");
            RemoveDirectoryW(full.c_str());
        } else {
            DeleteFileW(full.c_str());
        }
    } while (FindNextFileW(find.get(), &fd));
}

// Opens a folder so that it cannot be renamed or deleted while the handle
// lives (no delete sharing). An invalid handle when it cannot be opened or is
// not a plain folder.
UniqueFile HoldFolder(const std::wstring& folder)
{
    UniqueFile h(CreateFileW(LongPath(ExcludeTrailingBackslash(folder)).c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !GetFileInformationByHandle(h.get(), &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return UniqueFile();
    return h;
}

// Renames a folder that could not be removed to "<folder>-<ticks>".
bool MoveAside(const std::wstring& folder)
{
    const std::wstring dir = ExcludeTrailingBackslash(folder);
    const std::wstring aside = Format(L"%ls-%lu", dir.c_str(), GetTickCount());
    return MoveFileExW(LongPath(dir).c_str(), LongPath(aside).c_str(), 0) != FALSE;
}

}  // namespace

int CurrentProductScope() { return g_productScope.load(); }

namespace {

// The product code of the command line; the Ultimate edition is looked up
// only when no known product is named.
int ProductFromArgumentsLazy(const std::vector<std::wstring>& args, const std::function<bool()>& ultimateInstalled)
{
    if (args.empty()) return 0;
    std::wstring product;
    for (size_t i = 0; i < args.size(); ++i) {
        if (SameText(args[i], L"/Product")) {
            if (i + 1 < args.size()) product = args[i + 1];
            break;
        }
    }
    if (SameText(product, L"Pelmo Gardex")) return 3;
    if (SameText(product, L"Pelmo Sweeper")) return 4;
    if (SameText(product, L"Tessaro")) return 5;
    return ultimateInstalled() ? 2 : 1;
}

}  // namespace

int ProductFromArguments(const std::vector<std::wstring>& args, bool ultimateInstalled)
{
    return ProductFromArgumentsLazy(args, [ultimateInstalled] { return ultimateInstalled; });
}

int ScopeFromProduct(int product)
{
    switch (product) {
    case 1:
    case 2: return kScopeMain;
    case 3: return kScopeAntiMalware;
    case 4: return kScopeRemoval;
    case 5: return kScopeDefrag;
    default: return kScopeAll;
    }
}

int ProductScopeFor(const std::wstring& moduleFileName, const std::vector<std::wstring>& args,
                    bool ultimateInstalled)
{
    if (!EndsWithText(moduleFileName, L".dll")) return kScopeAll;
    return ScopeFromProduct(ProductFromArguments(args, ultimateInstalled));
}

int GetProductFromCommandLine()
{
    return ProductFromArgumentsLazy(CommandLineArguments(),
                                    [] { return !pelmo::GetInstallLocation(L"Molvane Ultimate_is1").empty(); });
}

int GetProductScope()
{
    if (!EndsWithText(ModuleFileName(ThisModule()), L".dll")) return kScopeAll;
    return ScopeFromProduct(GetProductFromCommandLine());
}

std::wstring GetTempFolder()
{
    wchar_t buf[256] = {};
    DWORD n = GetTempPathW(255, buf);
    if (n == 0 || n >= 255) return {};
    return buf;
}

bool RemoveFolder(const std::wstring& path)
{
    std::wstring dir = ExcludeTrailingBackslash(path);
    if (dir.empty()) return false;
    // Nothing that is or holds a link is deleted: some platforms delete a
    // link's target when asked to delete the link. A linked folder is left
    // alone; a folder holding links is moved aside whole, links untouched.
    if (IsReparsePoint(dir)) return false;
    if (!DirectoryExists(dir)) return false;
    if (HoldsLinks(dir + L"\\")) return MoveAside(dir);
    // Entry by entry first: the shell's delete takes seconds per thousand
    // files on some systems and stops at paths beyond MAX_PATH.
    DeleteTreeBelow(dir + L"\\");
    if (RemoveDirectoryW(LongPath(dir).c_str())) return true;
    std::wstring from = dir;
    from.push_back(L'\0');  // the list ends with a second NUL
    SHFILEOPSTRUCTW op{};
    op.hwnd = nullptr;
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.pTo = nullptr;
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return SHFileOperationW(&op) == 0 && !DirectoryExists(dir);
}

void MakeFilesInfo(const std::wstring& gatherFolder, IGatherSteps& steps, int scope)
{
    LineList list;
    if (scope == kScopeAll || scope == kScopeMain) {
        steps.AddFilesInfoSection(list, 1);
        steps.AddFilesInfoSection(list, 2);
        steps.AddFilesInfoSection(list, 3);
    }
    if (scope == kScopeAll || scope == kScopeAntiMalware) steps.AddFilesInfoSection(list, 4);
    SaveLineList(list, gatherFolder + L"FilesInfo.txt");
}

GatherResult GatherReport(HWND window, uint32_t otherInfoLimitMiB, IGatherSteps& steps)
{
    // A hardware fault anywhere in the run, outside a row's own guard too,
    // unwinds to the outer guard below like any other failure.
    FaultScope faults;
    WriteLog(L"DoGatherInfo strart");
    GatherResult result;
    std::wstring& archivePath = result.archivePath;
    LONG progress = 0;
    // Without a window nothing is posted: a null window would post to this
    // thread's own queue.
    if (window) PostMessageW(window, WM_GATHER_PROGRESS, 0, kAnnouncedSteps);
    auto post = [&] {
        ++progress;
        if (window) PostMessageW(window, WM_GATHER_PROGRESS, 1, progress);
    };

    try {
        LoadWOW64Funcs();
    } catch (...) {
        WriteLog(L"LoadWOW64Funcs Except");
    }

    // The side task uses the steps and the gather folder of this call, so it
    // is waited for (with its bound) on every way out, the failure path too.
    UniqueHandle sideTask;
    try {
        const int scope = steps.ProductScope();
        g_productScope.store(scope);

        // The gather folder is made anew by this run, with a descriptor only
        // administrators and the system may use, and held open without
        // delete sharing so that nobody can swap it for a link meanwhile.
        // A TEMP path the platform cannot report gives the fallback at once.
        const std::wstring temp = steps.TempFolder();
        std::wstring gather = temp.empty() ? ApplicationFolder() + L"GetInfoDir\\" : temp + L"GetInfoDir\\";
        if (!temp.empty()) {
            if (DirectoryExists(gather) || IsReparsePoint(ExcludeTrailingBackslash(gather))) RemoveFolder(gather);
            if (!IsReparsePoint(ExcludeTrailingBackslash(gather)) && DirectoryExists(gather))
                MoveAside(gather);  // what could not be removed stays, whole, under another name
            ForceDirectories(ExtractFilePath(ExcludeTrailingBackslash(gather)));
            if (!CreatePrivateFolder(gather)) {
                WriteLog(L"Cannot create the gather folder anew: " + gather + L" " + GetLastErrorText());
                gather = ApplicationFolder() + L"GetInfoDir\\";
            }
        } else {
            WriteLog(L"No usable temporary folder");
        }
        if (IsReparsePoint(ExcludeTrailingBackslash(gather))) throw Error(L"the gather folder is a link");
        gather = IncludeTrailingBackslash(gather);
        const std::wstring parent = ExtractFilePath(ExcludeTrailingBackslash(gather));
        archivePath = parent + L"Pelmo_Debug_Info.zip";
        WriteLog(Format(L"TempPath:%ls, tmpZipDir:%ls, Result:%ls", gather.c_str(), parent.c_str(),
                        archivePath.c_str()));

        try {
            auto* task = new SideTask{&steps, gather};
            HANDLE h = CreateThread(nullptr, 0, SideTaskMain, task, 0, nullptr);
            if (!h) {
                delete task;
                throw Error(L"CreateThread failed");
            }
            sideTask.reset(h);
        } catch (...) {
            WriteLog(L"CreateThread Except");
        }
        WriteLog(L"CreateThread Succ");

        LineList list;
        // Clean-up frame: a host process keeps only the archive.
        struct CleanUp {
            int scope;
            const std::wstring& gather;
            UniqueFile hold;
            ~CleanUp()
            {
                hold.reset();
                if (scope != kScopeAll) RemoveFolder(gather);
            }
        } cleanUp{scope, gather, HoldFolder(gather)};

        const bool main = scope == kScopeAll || scope == kScopeMain;
        const bool antiMalware = scope == kScopeAll || scope == kScopeAntiMalware;

        Step(L"Pelmo_Routine_New.GetFileVersion(GetModuleName(HInstance), 3))",
             [&] { list.push_back(L"Version:" + steps.ModuleFileVersion()); });
        Step(L"DateTimeToStr(Now)", [&] {
            SYSTEMTIME now;
            GetLocalTime(&now);
            list.push_back(L"Date:" + RegionalDateTimeText(now));
        });
        Step(L"GetOSInfoEx", [&] { steps.GetOSInfoEx(list); });
        post();
        Step(L"GetProcessListEx", [&] { steps.GetProcessListEx(list); });
        post();
        Step(L"EnumServices", [&] { steps.EnumServices(list); });
        post();
        Step(L"GetBHOItemListEx", [&] { steps.GetBHOItemListEx(list); });
        post();
        Step(L"GetAutorunListx", [&] {
            LineList autoruns = steps.GetAutorunListx();
            list.insert(list.end(), autoruns.begin(), autoruns.end());
        });
        list.push_back(kSeparatorLine);
        Step(L"GetWSCInfo", [&] { steps.GetWSCInfo(list); });
        post();
        steps.FindAppPath();
        if (!AppPath().empty()) AppPath() = IncludeTrailingBackslash(AppPath());
        Step(L"GetAppFileInfo", [&] { steps.GetAppFileInfo(list); });
        post();
        SaveLineList(list, gather + L"Pelmo_Debug_Info.txt");
        post();

        list.clear();
        list.push_back(L"Windows Registry Editor Version 5.00");
        Step(L"DoClllectEx", [&] { steps.DoClllectEx(list); });
        SaveLineList(list, gather + L"uninstall.txt");
        post();

        list.clear();
        list.push_back(L"Windows Registry Editor Version 5.00");
        Step(L"DoClllectDNS", [&] { steps.DoClllectDNS(list); });
        SaveLineList(list, gather + L"dnsGetinfo.txt");
        post();

        Step(L"MakeFilesInfo", [&] { MakeFilesInfo(gather, steps, scope); });
        post();
        Guarded(L"LoadLog Succs", L"LoadLog Except", [&] { steps.LoadLog(gather); });
        post();
        if (scope == kScopeAll) {
            Step(L"LoadOtherInfo", [&] { steps.LoadOtherInfo(gather, otherInfoLimitMiB); });
            Step(L"LoadOnlyForTrevioTool", [&] { steps.LoadOnlyForTrevioTool(gather); });
            post();
        }
        Step(L"EnumTasks", [&] { steps.EnumTasks(gather + L"task.txt"); });
        post();
        if (main) {
            Step(L"GenMLVLogFiles", [&] { steps.GenMLVLogFiles(gather); });
            Step(L"GenNeedFileByBDError", [&] {
                steps.GenNeedFileByBDError(
                    IncludeTrailingBackslash(steps.GetInstallLocation(L"Molvane Ultimate_is1")) + L"Antivirus\\",
                    gather + L"AppPath\\Antivirus\\", gather);
            });
            post();
        }
        if (antiMalware) {
            Step(L"GenGDXLogFiles", [&] { steps.GenGDXLogFiles(gather); });
            Step(L"GenNeedFileByBDError", [&] {
                steps.GenNeedFileByBDError(
                    IncludeTrailingBackslash(steps.GetInstallLocation(L"Pelmo Gardex_is1")) + L"Antivirus\\",
                    gather + L"GDX\\AppPath\\Antivirus\\", gather);
            });
            post();
        }
        Step(L"WaitGetSystemInfo", [&] {
            if (!sideTask) {
                steps.WriteSystemInfoFile(gather);
                return;
            }
            DWORD rc = WaitForSingleObject(sideTask.get(), kSideTaskWaitMs);
            sideTask.reset();
            if (rc != WAIT_OBJECT_0) {
                WriteLog(L"WaitGetSystemInfo timeout");
                throw Error(L"system summary still running");
            }
        });
        post();
        if (FileExists(archivePath)) {
            const bool deleted = DeleteFileW(archivePath.c_str()) != FALSE;
            WriteLog(archivePath + L" Exist and del");
            if (!deleted) {
                // Held by another process: the new archive takes a free name
                // beside it, and the old one is never taken for this run's.
                WriteLog(L"Cannot delete " + archivePath + L": " + GetLastErrorText());
                archivePath = FreeNameBeside(archivePath);
                WriteLog(L"Archive path: " + archivePath);
            }
        }
        if (archivePath.empty()) throw Error(L"no free archive name");
        Guarded(L"ZipFile Succ", L"ZipFile except", [&] {
            steps.ZipGatherFolder(gather, archivePath);
            result.archiveMade = true;
        });
        post();
    } catch (...) {
        WriteLog(L"DoGatherInfo Except");
    }
    if (sideTask) WaitForSingleObject(sideTask.get(), kSideTaskWaitMs);
    OutputDebugStringW(Format(L"Trevio(DoGatherInfo) result:=%ls", archivePath.c_str()).c_str());
    WriteLog(L"DoGatherInfo End: " + archivePath);
    return result;
}

std::wstring DoGatherInfo(HWND window, uint32_t otherInfoLimitMiB, IGatherSteps& steps)
{
    return GatherReport(window, otherInfoLimitMiB, steps).archivePath;
}

IGatherSteps& RealSteps()
{
    static RealGatherSteps steps;  // outlives a side task that overran its wait
    return steps;
}

std::wstring DoGatherInfo(HWND window, uint32_t otherInfoLimitMiB)
{
    return DoGatherInfo(window, otherInfoLimitMiB, RealSteps());
}

// The real collectors.
int RealGatherSteps::ProductScope() { return GetProductScope(); }
std::wstring RealGatherSteps::TempFolder() { return GetTempFolder(); }
std::wstring RealGatherSteps::ModuleFileVersion() { return GetFileVersion(ModuleFileName(ThisModule()), 3); }
void RealGatherSteps::GetOSInfoEx(LineList& list) { pelmo::GetOSInfoEx(list); }
void RealGatherSteps::GetProcessListEx(LineList& list) { pelmo::GetProcessListEx(list); }
void RealGatherSteps::EnumServices(LineList& list) { pelmo::EnumServices(list); }
void RealGatherSteps::GetBHOItemListEx(LineList& list) { pelmo::GetBHOItemListEx(list); }
LineList RealGatherSteps::GetAutorunListx() { return pelmo::GetAutorunListx(); }
void RealGatherSteps::GetWSCInfo(LineList& list) { pelmo::GetWSCInfo(list); }
void RealGatherSteps::FindAppPath() { pelmo::FindAppPath(); }
void RealGatherSteps::GetAppFileInfo(LineList& list) { pelmo::GetAppFileInfo(list); }
void RealGatherSteps::DoClllectEx(LineList& list) { pelmo::DoClllectEx(list); }
void RealGatherSteps::DoClllectDNS(LineList& list) { pelmo::DoClllectDNS(list); }
void RealGatherSteps::AddFilesInfoSection(LineList& list, int productRow)
{
    LineList section = FilesInfoSection(productRow);
    list.insert(list.end(), section.begin(), section.end());
}
void RealGatherSteps::LoadLog(const std::wstring& gatherFolder) { pelmo::LoadLog(gatherFolder); }
void RealGatherSteps::LoadOtherInfo(const std::wstring& gatherFolder, uint32_t limitMiB)
{
    pelmo::LoadOtherInfo(gatherFolder, limitMiB);
}
void RealGatherSteps::LoadOnlyForTrevioTool(const std::wstring& gatherFolder)
{
    pelmo::LoadOnlyForTrevioTool(gatherFolder);
}
void RealGatherSteps::EnumTasks(const std::wstring& filePath) { pelmo::EnumTasks(filePath); }
void RealGatherSteps::GenMLVLogFiles(const std::wstring& gatherFolder) { pelmo::GenMLVLogFiles(gatherFolder); }
std::wstring RealGatherSteps::GetInstallLocation(const std::wstring& entryName)
{
    return pelmo::GetInstallLocation(entryName);
}
void RealGatherSteps::GenNeedFileByBDError(const std::wstring& source, const std::wstring& destination,
                                           const std::wstring& gatherFolder)
{
    pelmo::GenNeedFileByBDError(source, destination, gatherFolder);
}
void RealGatherSteps::GenGDXLogFiles(const std::wstring& gatherFolder) { pelmo::GenGDXLogFiles(gatherFolder); }
void RealGatherSteps::WriteSystemInfoFile(const std::wstring& gatherFolder)
{
    pelmo::WriteSystemInfoFile(gatherFolder);
}
int RealGatherSteps::ZipGatherFolder(const std::wstring& gatherFolder, const std::wstring& archivePath)
{
    return pelmo::ZipGatherFolder(gatherFolder, archivePath);
}

}  // namespace pelmo
