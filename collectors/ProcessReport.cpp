#include "collectors/ProcessReport.h"

#include <psapi.h>
#include <winternl.h>

#include <cfenv>
#include <cmath>
#include <memory>

#include "platform/OptionalApi.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

std::wstring PadRight(std::wstring s, size_t w)
{
    if (s.size() < w) s.append(w - s.size(), L' ');
    return s;
}

std::wstring PadLeft(std::wstring s, size_t w)
{
    if (s.size() < w) s.insert(0, w - s.size(), L' ');
    return s;
}

std::wstring WithSeparator(uint64_t hundredths, wchar_t sep)
{
    std::wstring digits = std::to_wstring(hundredths);
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), L'0');
    digits.insert(digits.size() - 2, 1, sep);
    return digits;
}

std::wstring StatisticsText(const ProcessRecord& r, wchar_t sep)
{
    return PadRight(std::to_wstring(r.handles), 4) + L"," + PadLeft(std::to_wstring(r.threads), 2) + L"|" +
           PadLeft(std::to_wstring(r.io), 3) + L"| " + PadLeft(std::to_wstring(r.mem), 3) + L"M," +
           PadLeft(std::to_wstring(r.vmem), 3) + L"M| " + PriorityClassText(r.priority) + L"," +
           RuntimeText(r.runtime, sep) + r.cpuText;
}

uint64_t FileTimeValue(const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

// Functions that older systems lack, looked up once.
struct Api {
    using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    using QueryFullFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    using ImageFileNameFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD);
    using ModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
    using MemoryInfoFn = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    using IoCountersFn = BOOL(WINAPI*)(HANDLE, PIO_COUNTERS);
    using GuiResourcesFn = DWORD(WINAPI*)(HANDLE, DWORD);
    NtQuerySystemInformationFn ntQuery = nullptr;
    QueryFullFn queryFull = nullptr;
    ImageFileNameFn imageFileName = nullptr;
    ModuleFileNameExFn moduleFileNameEx = nullptr;
    MemoryInfoFn memoryInfo = nullptr;
    IoCountersFn ioCounters = nullptr;
    GuiResourcesFn guiResources = nullptr;

    Api()
    {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
        HMODULE psapi = LoadSystemLibrary(L"psapi.dll");  // stays loaded
        HMODULE user32 = GetModuleHandleW(L"user32.dll");
        ntQuery = ProcAddress<NtQuerySystemInformationFn>(ntdll, "NtQuerySystemInformation");
        queryFull = ProcAddress<QueryFullFn>(k32, "QueryFullProcessImageNameW");
        imageFileName = ProcAddress<ImageFileNameFn>(psapi, "GetProcessImageFileNameW");
        moduleFileNameEx = ProcAddress<ModuleFileNameExFn>(psapi, "GetModuleFileNameExW");
        memoryInfo = ProcAddress<MemoryInfoFn>(psapi, "GetProcessMemoryInfo");
        ioCounters = ProcAddress<IoCountersFn>(k32, "GetProcessIoCounters");
        guiResources = ProcAddress<GuiResourcesFn>(user32, "GetGuiResources");
    }
};

const Api& Funcs()
{
    static const Api api;
    return api;
}

std::wstring DevicePathToDosPath(const std::wstring& devicePath)
{
    wchar_t drives[261] = {};
    DWORD n = GetLogicalDriveStringsW(260, drives);
    for (const wchar_t* d = drives; n && *d; d += wcslen(d) + 1) {
        std::wstring drive(d, 2);
        wchar_t device[1024] = {};
        if (!QueryDosDeviceW(drive.c_str(), device, 1024)) continue;
        size_t len = wcslen(device);
        if (len && devicePath.find(device) != std::wstring::npos) return drive + devicePath.substr(len);
    }
    return {};
}

std::wstring GetProcessImagePath(HANDLE process)
{
    try {
        const Api& api = Funcs();
        wchar_t buf[261] = {};
        std::wstring result;
        if (api.queryFull) {
            DWORD size = 260;
            if (api.queryFull(process, 0, buf, &size)) result.assign(buf, size);
        }
        if (result.empty() && api.imageFileName) {
            buf[0] = 0;
            if (api.imageFileName(process, buf, 260)) result = DevicePathToDosPath(buf);
        }
        if (result.empty() && api.moduleFileNameEx) {
            buf[0] = 0;
            if (api.moduleFileNameEx(process, nullptr, buf, 260)) result = buf;
        }
        if (!result.empty()) {
            wchar_t longPath[261] = {};
            DWORD n = GetLongPathNameW(result.c_str(), longPath, 260);
            if (n && n < 260) result = longPath;
        }
        return result;
    } catch (...) {
        return {};
    }
}

void EnableDebugPrivilege()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) return;
    UniqueHandle token(raw);
    TOKEN_PRIVILEGES tp{};
    if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid)) return;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof(tp), nullptr, nullptr);
}

// The system's process list; the query is repeated with the size the system
// asks for when processes start between the calls.
bool QueryProcessList(std::vector<BYTE>& buf)
{
    auto query = Funcs().ntQuery;
    if (!query) return false;
    constexpr LONG kLengthMismatch = LONG(0xC0000004);
    ULONG needed = 0;
    query(5, nullptr, 0, &needed);
    ULONG size = needed ? needed * 2 : 65536;
    for (int attempt = 0; attempt < 16 && size <= 64u << 20; ++attempt) {
        buf.assign(size, 0);
        needed = 0;
        LONG status = query(5, buf.data(), size, &needed);
        if (status >= 0) return true;
        if (status != kLengthMismatch) return false;
        size = std::max<ULONG>(needed + needed / 2, size * 2);
    }
    return false;
}

struct Sampled {
    ProcessRecord record;
    UniqueHandle handle;  // open from the first sample until the row is written
    uint64_t cpu0 = 0;
    DWORD tick0 = 0;
};

uint64_t CpuMs(HANDLE h)
{
    FILETIME c, e, k, u;
    if (!GetProcessTimes(h, &c, &e, &k, &u)) return 0;
    return (FileTimeValue(k) + FileTimeValue(u)) / 10000;
}

void AddProcessRecord(std::vector<Sampled>& out, const std::wstring& path, DWORD pid, DWORD session, DWORD threads,
                      DWORD handles, SIZE_T workingSet, SIZE_T pagefile)
{
    Sampled s;
    ProcessRecord& r = s.record;
    r.mem = DWORD(uint64_t(workingSet) >> 20);
    r.vmem = DWORD(uint64_t(pagefile) >> 20);
    r.handles = handles;
    r.threads = threads;
    r.pid = pid;
    r.session = session;
    r.name = path;
    size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) {
        r.folder = path.substr(0, slash);
        r.name = path.substr(slash + 1);
    }
    if (pid != 0) {
        s.handle.reset(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
        if (s.handle) {
            FILETIME created, exited, kernel, user;
            if (GetProcessTimes(s.handle.get(), &created, &exited, &kernel, &user)) {
                SYSTEMTIME st;
                GetSystemTime(&st);
                FILETIME now;
                SystemTimeToFileTime(&st, &now);
                r.runtime = RuntimeMs(FileTimeValue(created), FileTimeValue(now));
                s.tick0 = GetTickCount();
                s.cpu0 = (FileTimeValue(kernel) + FileTimeValue(user)) / 10000;
            }
            r.priority = int32_t(GetPriorityClass(s.handle.get()));
            if (auto gui = Funcs().guiResources) {
                r.gdi = int32_t(gui(s.handle.get(), GR_GDIOBJECTS));
                r.user = int32_t(gui(s.handle.get(), GR_USEROBJECTS));
            }
            IO_COUNTERS io{};
            if (Funcs().ioCounters && Funcs().ioCounters(s.handle.get(), &io) &&
                io.ReadOperationCount + io.WriteOperationCount != 0)
                r.io = int64_t(io.ReadOperationCount + io.WriteOperationCount);
        }
    }
    out.push_back(std::move(s));
}

}  // namespace

std::wstring PriorityClassText(int32_t priority)
{
    switch (priority) {
    case 32: return L"normal";
    case 64: return L"idle";
    case 128: return L"high";
    case 256: return L"realtime";
    case 16384: return L"normal-";
    case 32768: return L"normal+";
    case 0:
    case -1: return {};
    default: return Format(L"$%x", unsigned(priority));
    }
}

std::wstring RuntimeText(uint64_t ms, wchar_t sep)
{
    if (ms < 1000) return std::to_wstring(ms) + L" ms";
    if (ms < 60000) return Format(L"%llu%lc%02llu s", ms / 1000, sep, (ms % 1000) / 10);
    if (ms < 3600000) return Format(L"%llu:%02llu min", ms / 60000, (ms / 1000) % 60);
    return Format(L"%llu:%02llu h", ms / 3600000, (ms / 60000) % 60);
}

std::wstring SizeText(int64_t bytes, wchar_t sep)
{
    uint64_t c = bytes < 0 ? uint64_t(-bytes) : uint64_t(bytes);
    if (c < 1024) return std::to_wstring(c) + L" Bytes";
    if (c < 1048576) return WithSeparator(c * 100 / 1024, sep) + L" KB";
    if (c < 1073741824) return WithSeparator((c / 1024) * 100 / 1024, sep) + L" MB";
    return WithSeparator(((c / 1024) / 1024) * 100 / 1024, sep) + L" GB";
}

std::wstring CpuText(uint64_t cpu0Ms, uint64_t cpu1Ms, uint32_t elapsedMs)
{
    if (elapsedMs == 0 || cpu1Ms <= cpu0Ms) return {};
    const int old = fegetround();
    fesetround(FE_TONEAREST);  // half to even
    const long long percent = std::llrint(double(cpu1Ms - cpu0Ms) * 100.0 / double(elapsedMs));
    fesetround(old);
    if (percent == 0) return {};
    return L"," + std::to_wstring(percent) + L"%";
}

std::wstring VirtualMemoryText(const VirtualMemoryFigures& f, wchar_t sep)
{
    auto mb = [](uint64_t b) { return (b + 524288) / 1048576; };
    return Format(L"%llu/%llu MB(free/total), PageSize:%llu/%llu MB(free/total), SysDrv:", mb(f.availVirtual),
                  mb(f.totalVirtual), mb(f.availPageFile), mb(f.totalPageFile)) +
           SizeText(f.driveFree, sep) + L"/" + SizeText(f.driveTotal, sep);
}

std::wstring FormatProcessReport(const std::vector<ProcessRecord>& records, const std::wstring& virtualMemory,
                                 const std::wstring& desktopHeap, wchar_t sep)
{
    size_t pidDigits = 0, sessionW = 0, gdiW = 0, userW = 0, nameW = 0, statsW = 0;
    for (const auto& r : records) {
        pidDigits = std::max(pidDigits, Format(L"%lx", r.pid).size());
        if (r.session != 0) sessionW = std::max(sessionW, std::to_wstring(r.session).size());
        gdiW = std::max(gdiW, std::to_wstring(r.gdi).size());
        userW = std::max(userW, std::to_wstring(r.user).size());
        nameW = std::max(nameW, r.name.size());
        statsW = std::max(statsW, StatisticsText(r, sep).size());
    }
    const bool gui = gdiW > 0 || userW > 0;
    std::wstring text = L"pid, " + PadRight(L"name", nameW ? nameW - 1 : 0);
    if (sessionW > 0) text += PadRight(L"sid ", sessionW + 1);
    if (gui) text += PadRight(L"gdi,", gdiW + 1) + PadRight(L"u,", userW + 1);
    text += L"hnd,thd| io|mem,  vmem| runtime, cpu";
    for (const auto& r : records) {
        std::wstring row = Format(L"%0*lx ", int(pidDigits), r.pid) + PadRight(r.name, nameW + 1);
        if (sessionW > 0) row += PadRight(std::to_wstring(r.session), sessionW + 1);
        if (gui) row += PadRight(std::to_wstring(r.gdi), gdiW + 1) + PadRight(std::to_wstring(r.user), userW + 1);
        row += PadRight(StatisticsText(r, sep), statsW + 1) + r.folder;
        text += L"\r\n" + row;
    }
    text += L"\r\n\r\nVirtual memory:" + virtualMemory + L"\r\nGlobalAtomInfo:\r\nDesktopHeap:" + desktopHeap + L"\r\n";
    return text;
}

std::wstring NormaliseImagePath(const std::wstring& path, const std::wstring& systemDir)
{
    const std::wstring prefix = L"\\SystemRoot\\System32\\";
    if (!path.empty() && path.size() >= prefix.size() && SameText(path.substr(0, prefix.size()), prefix))
        return systemDir + path.substr(prefix.size() - 1);
    if (path.rfind(L"\\??\\", 0) == 0) return path.substr(4);
    return path;
}

uint64_t RuntimeMs(uint64_t creation, uint64_t now)
{
    return (now > creation ? now - creation : creation - now) / 10000;
}

wchar_t ThreadDecimalSeparator()
{
    static const wchar_t sep = [] {
        char buf[8] = {};
        return GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, buf, 8) > 0 && buf[0] ? wchar_t(uint8_t(buf[0]))
                                                                                    : L',';
    }();
    return sep;
}

std::wstring GetVirtualMemoryInfo(wchar_t sep)
{
    try {
        wchar_t win[MAX_PATH + 1] = {};
        GetWindowsDirectoryW(win, MAX_PATH);
        std::wstring drive = std::wstring(win).substr(0, 3);
        if (drive.empty()) drive = L"C:\\";
        VirtualMemoryFigures f;
        ULARGE_INTEGER caller{}, total{}, free{};
        if (GetDiskFreeSpaceExW(drive.c_str(), &caller, &total, &free)) {
            f.driveTotal = int64_t(total.QuadPart);
            f.driveFree = int64_t(free.QuadPart);
        }
        MEMORYSTATUSEX m{};
        m.dwLength = sizeof(m);
        if (GlobalMemoryStatusEx(&m)) {
            f.availVirtual = m.ullAvailVirtual;
            f.totalVirtual = m.ullTotalVirtual;
            f.availPageFile = m.ullAvailPageFile;
            f.totalPageFile = m.ullTotalPageFile;
        }
        return VirtualMemoryText(f, sep);
    } catch (...) {
        return L"error";
    }
}

std::wstring GetDesktopHeapInfo()
{
    try {
        HKEY raw = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\SubSystems", 0,
                          KEY_READ, &raw) != ERROR_SUCCESS)
            return {};
        UniqueHKey key(raw);
        DWORD type = 0, size = 0;
        if (RegQueryValueExW(key.get(), L"Windows", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
        std::vector<BYTE> data(size_t(size) * 2 + 2, 0);
        DWORD have = DWORD(data.size() - 2);
        if (RegQueryValueExW(key.get(), L"Windows", nullptr, &type, data.data(), &have) != ERROR_SUCCESS) return {};
        if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return {};
        return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
    } catch (...) {
        return L"error";
    }
}

std::wstring BuildProcessReport()
{
    std::vector<Sampled> sampled;
    std::vector<BYTE> buf;
    if (QueryProcessList(buf)) {
        EnableDebugPrivilege();
        const std::wstring sysDir = GetSystemDir();
        for (size_t offset = 0;;) {
            const auto* e = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buf.data() + offset);
            const DWORD pid = DWORD(reinterpret_cast<uintptr_t>(e->UniqueProcessId));
            SIZE_T workingSet = 0, pagefile = 0;
            if (!e->ImageName.Buffer || e->ImageName.Length == 0) {
                AddProcessRecord(sampled, L"Idle", pid, e->SessionId, e->NumberOfThreads, e->HandleCount, 0, 0);
            } else {
                const std::wstring imageName(e->ImageName.Buffer, e->ImageName.Length / sizeof(wchar_t));
                std::wstring path = imageName;
                UniqueHandle h(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
                if (h) {
                    path = NormaliseImagePath(GetProcessImagePath(h.get()), sysDir);
                    if (path.empty()) path = imageName;
                    PROCESS_MEMORY_COUNTERS pmc{};
                    pmc.cb = sizeof(pmc);
                    if (Funcs().memoryInfo && Funcs().memoryInfo(h.get(), &pmc, sizeof(pmc))) {
                        workingSet = pmc.WorkingSetSize;
                        pagefile = pmc.PagefileUsage;
                    }
                }
                AddProcessRecord(sampled, path, pid, e->SessionId, e->NumberOfThreads, e->HandleCount, workingSet,
                                 pagefile);
            }
            if (e->NextEntryOffset == 0 || offset + e->NextEntryOffset >= buf.size()) break;
            offset += e->NextEntryOffset;
        }
    }
    Sleep(1000);
    std::vector<ProcessRecord> records;
    records.reserve(sampled.size());
    for (auto& s : sampled) {
        ProcessRecord& r = s.record;
        IO_COUNTERS io{};
        if (r.io > 0 && s.handle && Funcs().ioCounters && Funcs().ioCounters(s.handle.get(), &io) &&
            io.ReadOperationCount + io.WriteOperationCount != 0)
            r.io = int64_t(io.ReadOperationCount + io.WriteOperationCount) - r.io;
        else
            r.io = -1;
        if (s.tick0 != 0 && s.handle) r.cpuText = CpuText(s.cpu0, CpuMs(s.handle.get()), GetTickCount() - s.tick0);
        s.handle.reset();
        records.push_back(std::move(r));
    }
    const wchar_t sep = ThreadDecimalSeparator();
    return FormatProcessReport(records, GetVirtualMemoryInfo(sep), GetDesktopHeapInfo(), sep);
}

void GetProcessListEx(LineList& list)
{
    std::wstring report = BuildProcessReport();
    list.push_back(kSeparatorLine);
    list.push_back(std::move(report));
}

}  // namespace pelmo
