// Session and environment queries: Windows name, system and special folders,
// WOW64, user names, tokens and integrity levels. No function here raises:
// every failure gives an empty text, 0 or false.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win.h"

namespace pelmo {

// The parts of the version record that decide the short Windows name.
struct OsVersionRecord {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD platformId = 0;
    BYTE productType = 0;
    WORD nativeArchitecture = 0;
};

// GetVersionExW into a zero-filled record of the extended size; with
// basicFallback, a failed call is repeated with the basic record size.
bool QueryVersionEx(OSVERSIONINFOEXW& v, bool basicFallback = false);

// Reads the version record of the running system (the manifest makes
// GetVersionExW report the true version).
OsVersionRecord ReadOsVersionRecord();
// Short Windows name for a version record ("Windows 7", ...), or empty.
std::wstring OSNameFromVersion(const OsVersionRecord& v);
std::wstring GetOSName();

// The system folder, without trailing backslash (platform/OptionalApi.h).
std::wstring GetSystemDir();

// What GetSpecialFolder asks of the platform, so the fallbacks can be fed
// real-shaped answers.
class ISpecialFolderSource {
public:
    virtual ~ISpecialFolderSource() = default;
    // The shell's answer; false when the shell call fails.
    virtual bool ShellFolder(HWND owner, int csidl, std::wstring& path) const = 0;
    virtual std::wstring Environment(const wchar_t* name) const = 0;
    virtual std::wstring Kernel32Path() const = 0;
    virtual DWORD OsMajorAtStart() const = 0;
    virtual bool Wow64() const = 0;
    virtual std::wstring CurrentUser() const = 0;
};
const ISpecialFolderSource& RealSpecialFolderSource();

std::wstring GetSpecialFolderFrom(const ISpecialFolderSource& src, HWND owner, int csidl);
std::wstring GetSpecialFolder(HWND owner, int csidl);

bool IsWow64();

std::wstring GetCurrentUserName();
std::wstring GetLoggedOnUserName();
std::wstring GetProcessUserName(DWORD processId);
DWORD FindProcessIdByName(const std::wstring& imageName, const std::wstring& userName);
DWORD FindExplorerProcessId(const std::wstring& userName);
DWORD GetActiveSessionId();
DWORD FindActiveExplorerSession();
// A new primary token of the first matching process; the caller closes it.
HANDLE GetTokenByName(const std::wstring& imageName, const std::wstring& userName);
DWORD GetTokenIntegrityLevel(HANDLE token);
std::wstring GetLastErrorText();

// The version numbers read once at process start.
DWORD OsMajorAtStart();
bool IsWindows2000();

}  // namespace pelmo
