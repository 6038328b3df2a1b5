#include "platform/Session.h"

#include <shlobj.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

using WtsActiveConsoleFn = DWORD(WINAPI*)();

struct ModuleState {
    bool windows2000 = false;
    DWORD major = 0;
    DWORD minor = 0;
    WtsActiveConsoleFn activeConsole = nullptr;

    ModuleState()
    {
        OSVERSIONINFOEXW v;
        if (QueryVersionEx(v)) {
            major = v.dwMajorVersion;
            minor = v.dwMinorVersion;
        }
        windows2000 = major == 5 && minor == 0;
        if (windows2000) return;
        activeConsole = ProcAddress<WtsActiveConsoleFn>(L"kernel32.dll", "WTSGetActiveConsoleSessionId");
    }
};

const ModuleState& State()
{
    static const ModuleState state;
    return state;
}

std::atomic<int32_t> g_wow64Cache{-1};

// Walks the process snapshot; the visitor returns true to stop.
template <typename Visit>
void ScanProcesses(Visit visit)
{
    UniqueFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof(e);
    for (BOOL ok = Process32FirstW(snap.get(), &e); ok; ok = Process32NextW(snap.get(), &e)) {
        if (visit(e)) return;
    }
}

class RealSource final : public ISpecialFolderSource {
public:
    bool ShellFolder(HWND owner, int csidl, std::wstring& path) const override
    {
        wchar_t buf[261] = {};
        if (!SHGetSpecialFolderPathW(owner, buf, csidl, FALSE)) return false;
        path = buf;
        return true;
    }
    std::wstring Environment(const wchar_t* name) const override
    {
        DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
        if (n == 0) return {};
        std::wstring v(n, L'\0');
        n = GetEnvironmentVariableW(name, v.data(), n);
        v.resize(n);
        return v;
    }
    std::wstring Kernel32Path() const override { return ModuleFileName(GetModuleHandleW(L"kernel32.dll")); }
    DWORD OsMajorAtStart() const override { return pelmo::OsMajorAtStart(); }
    bool Wow64() const override { return IsWow64(); }
    std::wstring CurrentUser() const override { return GetCurrentUserName(); }
};

}  // namespace

bool QueryVersionEx(OSVERSIONINFOEXW& v, bool basicFallback)
{
    v = OSVERSIONINFOEXW{};
    v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
    if (!ok && basicFallback) {
        v.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
    }
#pragma GCC diagnostic pop
    return ok != FALSE;
}

DWORD OsMajorAtStart() { return State().major; }
bool IsWindows2000() { return State().windows2000; }

OsVersionRecord ReadOsVersionRecord()
{
    OsVersionRecord r;
    OSVERSIONINFOEXW v;
    if (!QueryVersionEx(v)) return r;
    r.major = v.dwMajorVersion;
    r.minor = v.dwMinorVersion;
    r.platformId = v.dwPlatformId;
    r.productType = v.wProductType;
    SYSTEM_INFO si{};
    using NativeFn = void(WINAPI*)(LPSYSTEM_INFO);
    auto native = ProcAddress<NativeFn>(L"kernel32.dll", "GetNativeSystemInfo");
    if (native)
        native(&si);
    else
        GetSystemInfo(&si);
    r.nativeArchitecture = si.wProcessorArchitecture;
    return r;
}

std::wstring OSNameFromVersion(const OsVersionRecord& v)
{
    if (v.platformId != VER_PLATFORM_WIN32_NT) return {};
    switch (v.major) {
    case 3:
    case 4:
        return L"Windows NT";
    case 5:
        if (v.minor == 0) return L"Windows 2000";
        if (v.minor == 1) return L"Windows XP";
        if (v.minor == 2) {
            if (v.productType == VER_NT_WORKSTATION && v.nativeArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
                return L"Windows XP";
            return L"Windows 2003 Server";
        }
        return {};
    case 6:
        switch (v.minor) {
        case 0: return L"Windows Vista";
        case 1: return L"Windows 7";
        case 2:
        case 3: return L"Windows 8";
        case 4: return L"Windows 10";
        default: return {};
        }
    case 10:
        return L"Windows 10";
    default:
        return {};
    }
}

std::wstring GetOSName() { return OSNameFromVersion(ReadOsVersionRecord()); }

std::wstring GetSystemDir() { return SystemFolder(); }

const ISpecialFolderSource& RealSpecialFolderSource()
{
    static const RealSource source;
    return source;
}

std::wstring GetSpecialFolderFrom(const ISpecialFolderSource& src, HWND owner, int csidl)
{
    std::wstring result;
    if (!src.ShellFolder(owner, csidl, result)) result.clear();
    if (result.size() > 2) return result;

    const bool wow = (csidl == CSIDL_PROGRAM_FILES || csidl == CSIDL_PROGRAM_FILES_COMMON) && src.Wow64();
    const wchar_t* env = nullptr;
    std::wstring tailOld, tailNew;
    switch (csidl) {
    case CSIDL_APPDATA:
        env = L"APPDATA";
        tailOld = L"\\Documents and Settings\\" + src.CurrentUser() + L"\\Application Data";
        tailNew = L"\\Users\\" + src.CurrentUser() + L"\\AppData\\Roaming";
        break;
    case CSIDL_LOCAL_APPDATA:
        env = L"LOCALAPPDATA";
        tailOld = L"\\Documents and Settings\\" + src.CurrentUser() + L"\\Local Settings\\Application Data";
        tailNew = L"\\Users\\" + src.CurrentUser() + L"\\AppData\\Local";
        break;
    case CSIDL_COMMON_APPDATA:
        env = L"ProgramData";
        tailOld = L"\\Documents and Settings\\All Users\\Application Data";
        tailNew = L"\\ProgramData";
        break;
    case CSIDL_PROGRAM_FILES:
        env = wow ? L"ProgramFiles(x86)" : L"ProgramFiles";
        tailOld = tailNew = wow ? L"\\Program Files (x86)" : L"\\Program Files";
        break;
    case CSIDL_PROGRAM_FILES_COMMON:
        env = wow ? L"CommonProgramFiles(x86)" : L"CommonProgramFiles";
        tailOld = tailNew = wow ? L"\\Program Files (x86)\\Common Files" : L"\\Program Files\\Common Files";
        break;
    default:
        return result;
    }
    std::wstring fromEnv = Trim(src.Environment(env));
    if (!fromEnv.empty()) return fromEnv;
    std::wstring k32 = src.Kernel32Path();
    std::wstring drive = k32.size() >= 2 && k32[1] == L':' ? k32.substr(0, 2) : std::wstring();
    return drive + (src.OsMajorAtStart() < 6 ? tailOld : tailNew);
}

std::wstring GetSpecialFolder(HWND owner, int csidl)
{
    return GetSpecialFolderFrom(RealSpecialFolderSource(), owner, csidl);
}

bool IsWow64()
{
    int32_t cached = g_wow64Cache.load();
    if (cached != -1) return cached != 0;
    using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto fn = ProcAddress<IsWow64Fn>(L"kernel32.dll", "IsWow64Process");
    if (!fn) return false;
    BOOL flag = FALSE;
    if (!fn(GetCurrentProcess(), &flag)) return false;
    g_wow64Cache.store(flag ? 1 : 0);
    return flag != FALSE;
}

std::wstring GetCurrentUserName()
{
    wchar_t buf[256] = {};
    DWORD n = 255;
    if (!GetUserNameW(buf, &n) || n == 0) return {};
    return std::wstring(buf, n - 1);
}

std::wstring GetProcessUserName(DWORD processId)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process) return {};
    UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return {};
    std::vector<BYTE> info;
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    while (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > info.size()) {
        info.resize(size);
        ok = GetTokenInformation(token.get(), TokenUser, info.data(), DWORD(info.size()), &size);
    }
    token.reset();
    if (!ok) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
    DWORD nameLen = 0, domainLen = 0;
    SID_NAME_USE use;
    LookupAccountSidW(nullptr, sid, nullptr, &nameLen, nullptr, &domainLen, &use);
    if (nameLen == 0 || domainLen == 0) return {};
    std::wstring name(nameLen, L'\0'), domain(domainLen, L'\0');
    if (!LookupAccountSidW(nullptr, sid, name.data(), &nameLen, domain.data(), &domainLen, &use)) return {};
    return std::wstring(name.c_str());
}

DWORD FindProcessIdByName(const std::wstring& imageName, const std::wstring& userName)
{
    DWORD found = 0;
    ScanProcesses([&](const PROCESSENTRY32W& e) {
        if (!SameText(ExtractFileName(e.szExeFile), imageName)) return false;
        if (!userName.empty() && !SameText(GetProcessUserName(e.th32ProcessID), userName)) return false;
        found = e.th32ProcessID;
        return true;
    });
    return found;
}

DWORD FindExplorerProcessId(const std::wstring& userName) { return FindProcessIdByName(L"explorer.exe", userName); }

DWORD FindActiveExplorerSession()
{
    DWORD found = 0;
    ScanProcesses([&](const PROCESSENTRY32W& e) {
        if (!SameText(ExtractFileName(e.szExeFile), L"explorer.exe")) return false;
        DWORD session = 0;
        if (!ProcessIdToSessionId(e.th32ProcessID, &session)) return false;
        LPWSTR buf = nullptr;
        DWORD bytes = 0;
        if (!WtsSessionInformation(session, WTSConnectState, buf, bytes)) return false;
        bool active = buf && bytes >= sizeof(INT) && *reinterpret_cast<INT*>(buf) == WTSActive;
        WtsFree(buf);
        if (!active) return false;
        found = session;
        return true;
    });
    return found;
}

DWORD GetActiveSessionId()
{
    if (auto fn = State().activeConsole) {
        DWORD id = fn();
        if (id != 0 && id != 0xFFFFFFFF) return id;
    }
    return FindActiveExplorerSession();
}

std::wstring GetLoggedOnUserName()
{
    std::wstring result;
    if (!State().windows2000) {
        LPWSTR buf = nullptr;
        DWORD bytes = 0;
        if (WtsSessionInformation(GetActiveSessionId(), WTSUserName, buf, bytes)) {
            if (buf) result = buf;
            if (SameText(result, L"system")) result.clear();
            WtsFree(buf);
        }
        if (!result.empty()) return result;
    }
    DWORD pid = FindExplorerProcessId(L"");
    if (pid) result = GetProcessUserName(pid);
    return result;
}

HANDLE GetTokenByName(const std::wstring& imageName, const std::wstring& userName)
{
    DWORD pid = FindProcessIdByName(imageName, userName);
    if (pid == 0) return nullptr;
    UniqueHandle token;
    {
        UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
        if (process) OpenProcessToken(process.get(), TOKEN_DUPLICATE, token.put());
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &duplicate))
        return nullptr;
    return duplicate;
}

DWORD GetTokenIntegrityLevel(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
    std::vector<BYTE> buf(size ? size : 1);
    if (!token || !GetTokenInformation(token, TokenIntegrityLevel, buf.data(), DWORD(buf.size()), &size))
        return 0;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buf.data())->Label.Sid;
    PUCHAR count = GetSidSubAuthorityCount(sid);
    if (!count || *count == 0) return 0;
    PDWORD rid = GetSidSubAuthority(sid, DWORD(*count - 1));
    return rid ? *rid : 0;
}

std::wstring GetLastErrorText()
{
    DWORD code = GetLastError();
    wchar_t buf[257] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 256,
                   nullptr);
    std::wstring msg = buf;
    while (!msg.empty() && (msg.back() <= L' ' || msg.back() == L'.')) msg.pop_back();
    return Format(L"[0x%X]%ls", unsigned(code), msg.c_str());
}


}  // namespace pelmo
