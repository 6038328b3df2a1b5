#include "collectors/SystemInfo.h"

#include <mutex>

#include "platform/Handles.h"
#include "platform/RegistryClassEx.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

class RealSource final : public IOsInfoSource {
public:
    OsVersion Version() const override
    {
        OsVersion out;
        OSVERSIONINFOEXW v;
        out.ok = QueryVersionEx(v, true);
        out.major = v.dwMajorVersion;
        out.minor = v.dwMinorVersion;
        out.build = v.dwBuildNumber;
        out.platformId = v.dwPlatformId;
        out.productType = v.wProductType;
        out.csd = v.szCSDVersion;
        return out;
    }
    OsMetrics Metrics() const override
    {
        OsMetrics m;
        m.serverR2 = GetSystemMetrics(SM_SERVERR2) != 0;
        m.tabletPc = GetSystemMetrics(SM_TABLETPC) != 0;
        m.starter = GetSystemMetrics(SM_STARTER) != 0;
        m.mediaCenter = GetSystemMetrics(SM_MEDIACENTER) != 0;
        using NativeFn = void(WINAPI*)(LPSYSTEM_INFO);
        if (auto native = ProcAddress<NativeFn>(L"kernel32.dll", "GetNativeSystemInfo")) {
            SYSTEM_INFO si{};
            native(&si);
            m.nativeAmd64 = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
        }
        return m;
    }
    std::wstring SystemLanguage() const override
    {
        char buf[260] = {};
        int n = GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SENGLANGUAGE, buf, 260);
        if (n <= 0) return {};
        return FromAnsi(buf);
    }
    bool ComputerName(std::wstring& name) const override
    {
        wchar_t buf[16] = {};
        DWORD size = 16;
        if (!GetComputerNameW(buf, &size)) return false;
        name.assign(buf, size);
        return true;
    }
    bool Wow64() const override
    {
        using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
        auto fn = ProcAddress<IsWow64Fn>(L"Kernel32.dll", "IsWow64Process");
        if (!fn) return false;
        BOOL flag = TRUE;  // preset, as the report has always read it
        fn(GetCurrentProcess(), &flag);
        return flag != FALSE;
    }
    MemoryStatus Memory() const override
    {
        MEMORYSTATUSEX s{};
        s.dwLength = sizeof(s);
        MemoryStatus m;
        if (!GlobalMemoryStatusEx(&s)) return m;
        m.totalPhys = s.ullTotalPhys;
        m.availPhys = s.ullAvailPhys;
        m.totalVirtual = s.ullTotalVirtual;
        m.availVirtual = s.ullAvailVirtual;
        m.availExtendedVirtual = s.ullAvailExtendedVirtual;
        m.totalPageFile = s.ullTotalPageFile;
        m.availPageFile = s.ullAvailPageFile;
        return m;
    }
    std::wstring SystemDir() const override { return GetSystemDir(); }
    bool DiskSpace(const std::wstring& drive, int64_t& total, int64_t& freeForCaller) const override
    {
        ULARGE_INTEGER caller{}, all{}, freeAll{};
        if (!GetDiskFreeSpaceExW(drive.c_str(), &caller, &all, &freeAll)) return false;
        total = int64_t(all.QuadPart);
        freeForCaller = int64_t(caller.QuadPart);
        return true;
    }
    std::wstring LoggedOnUser() const override { return GetLoggedOnUserName(); }
    std::wstring ProcessUser() const override { return GetProcessUserName(GetCurrentProcessId()); }
    DWORD ShellIntegrityLevel(const std::wstring& user) const override
    {
        UniqueHandle token(GetTokenByName(L"explorer.exe", user));
        return token ? GetTokenIntegrityLevel(token.get()) : 0;
    }
    bool DpiAware() const override
    {
        if (OsMajorAtStart() < 6) return false;
        using AwareFn = BOOL(WINAPI*)();
        auto fn = ProcAddress<AwareFn>(L"user32.dll", "IsProcessDPIAware");
        return fn && fn() != FALSE;
    }
    int ScreenWidth() const override { return GetSystemMetrics(SM_CXSCREEN); }
    int ScreenHeight() const override { return GetSystemMetrics(SM_CYSCREEN); }
    int AppliedDpi() const override
    {
        try {
            TRegistry reg(KEY_READ);
            reg.SelectRootKey(HKEY_CURRENT_USER);
            if (!reg.OpenPathForReading(L"Control Panel\\Desktop\\WindowMetrics")) return 96;
            if (reg.ValueKindOf(L"AppliedDPI") != vkInteger) return 96;
            return int(reg.ReadDword(L"AppliedDPI"));
        } catch (...) {
            return 96;
        }
    }
    int LogPixelsY() const override
    {
        HDC dc = CreateCompatibleDC(nullptr);
        if (!dc) return 0;
        int v = GetDeviceCaps(dc, LOGPIXELSY);
        DeleteDC(dc);
        return v;
    }
};

std::wstring Mb(uint64_t bytes) { return std::to_wstring(bytes / 1024 / 1024); }

std::wstring Gb(int64_t bytes, wchar_t decimal)
{
    const double gb = double(bytes / 1024 / 1024) / 1024.0;
    std::wstring text = Format(L"%.2f", gb);
    for (auto& c : text)
        if (c == L'.') c = decimal;
    return text;
}

}  // namespace

const IOsInfoSource& RealOsInfoSource()
{
    static const RealSource source;
    return source;
}

std::wstring OSDescription(const OsVersion& v, const OsMetrics& m)
{
    std::wstring name;
    const bool workstation = v.productType == VER_NT_WORKSTATION;
    if (v.major < 4)
        name = L"Windows NT 3";
    else if (v.major == 4)
        name = L"Windows NT 4";
    else if (v.major == 5 && v.minor == 0)
        name = L"Windows 2000";
    else if (v.major == 5 && v.minor == 1)
        name = L"Windows XP";
    else if (v.major == 5)
        name = workstation ? L"Windows XP" : L"Windows 2003";
    else if (v.major == 6 && v.minor == 0)
        name = workstation ? L"Windows Vista" : L"Windows 2008";
    else if (v.major == 6 && v.minor == 1)
        name = workstation ? L"Windows 7" : L"Windows 2008 R2";
    else
        name = L"Windows NT New";
    const bool mediaCenterFamily = name == L"Windows NT 3" || name == L"Windows NT 4" || name == L"Windows 2000" ||
                                   name == L"Windows XP" || name == L"Windows 2003";
    if (m.serverR2) name += L" R2";
    if (m.tabletPc) name += L" Tablet PC";
    if (m.starter) name += L" Starter";
    if (mediaCenterFamily && m.mediaCenter) name += L" Media Center";
    if (m.nativeAmd64) name += L" x64";
    if (!v.csd.empty()) name += L" " + v.csd;
    return name;
}

LineList BuildOSInfoLines(const IOsInfoSource& src, wchar_t decimal)
{
    LineList b;
    const OsVersion v = src.Version();
    b.push_back(kSeparatorLine);
    b.push_back(L"OS Name:\t" + OSDescription(v, src.Metrics()));
    b.push_back(Format(L"OS Version:\t%lu.%lu.%lu", v.major, v.minor, v.build));
    b.push_back(L"SP Version:\t" + v.csd);
    b.push_back(L"system lan:\t" + src.SystemLanguage());
    std::wstring computer;
    if (src.ComputerName(computer)) b.push_back(L"ComputerName:\t" + computer);
    b.push_back(std::wstring(L"OS Type:\t") + (src.Wow64() ? L"64bit" : L"32bit"));
    const MemoryStatus m = src.Memory();
    b.push_back(L"Memory Size:\t" + Mb(m.totalPhys) + L" MB");
    b.push_back(L"Free Size:\t" + Mb(m.availPhys) + L" MB");
    b.push_back(L"VMemory Size:\t" + Mb(m.totalVirtual) + L" MB");
    b.push_back(L"VFree Size:\t" + Mb(m.availVirtual) + L" MB");
    b.push_back(L"VFreeExt Size:\t" + Mb(m.availExtendedVirtual) + L" MB");
    b.push_back(L"PF Size:\t" + Mb(m.totalPageFile) + L" MB");
    b.push_back(L"PF Free:\t" + Mb(m.availPageFile) + L" MB");
    const std::wstring sys = src.SystemDir();
    if (!sys.empty()) {
        const std::wstring drive = sys.size() >= 2 && sys[1] == L':' ? sys.substr(0, 2) : ExtractFileDir(sys);
        b.push_back(L"System Drive:\t" + drive);
        int64_t total = 0, free = 0;
        if (src.DiskSpace(drive, total, free)) {
            b.push_back(L"Total Space:\t" + Gb(total, decimal) + L" GB");
            b.push_back(L"Free Space:\t" + Gb(free, decimal) + L" GB");
        }
    }
    const std::wstring logUser = src.LoggedOnUser();
    b.push_back(L"Cur Users:\t" + logUser + L"[" + src.ProcessUser() + L"]");
    b.push_back(Format(L"User Level:\t%04lX", src.ShellIntegrityLevel(src.LoggedOnUser())));
    b.push_back(std::wstring(L"IsProcessDPIAware:\t") + (src.DpiAware() ? L"True" : L"False"));
    const int cx = src.ScreenWidth(), cy = src.ScreenHeight();
    b.push_back(Format(L"SM_CXSCREEN:\t%d", cx));
    b.push_back(Format(L"SM_CYSCREEN:\t%d", cy));
    b.push_back(Format(L"System DPI:\t%d", src.AppliedDpi()));
    b.push_back(Format(L"LOGPIXELSY:\t%d", src.LogPixelsY()));
    b.push_back(Format(L"Screen param:\t%d*%d", src.ScreenWidth(), src.ScreenHeight()));
    b.push_back(L"");
    return b;
}

wchar_t UserDecimalSeparator()
{
    wchar_t buf[8] = {};
    return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) > 1 ? buf[0] : L'.';
}

void GetOSInfoEx(LineList& list)
{
    // The block goes into the report only once it is complete.
    LineList block = BuildOSInfoLines(RealOsInfoSource(), UserDecimalSeparator());
    list.insert(list.end(), block.begin(), block.end());
}

}  // namespace pelmo
