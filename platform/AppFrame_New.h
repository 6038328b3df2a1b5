// File version information and the application-data folders.
#pragma once

#include <string>

#include "platform/win.h"

namespace pelmo {

struct TFileInfo {
    std::wstring CompanyName;
    std::wstring FileDescription;
    std::wstring FileVersion;
    std::wstring InternalName;
    std::wstring LegalCopyright;
    std::wstring LegalTrademarks;
    std::wstring OriginalFileName;
    std::wstring ProductName;
    std::wstring ProductVersion;
    std::wstring Comments;
    VS_FIXEDFILEINFO Fixed{};
    std::wstring Extra;
};

// Fills info from the file's version resource; false when the file has none
// that could be loaded, or it has no translation entry.
bool ReadFileVersionInfo(const std::wstring& fileName, TFileInfo& info, const std::wstring& extraName);
// One string of the version resource by mode (0 Comments ... 9
// ProductVersion, 10 "WOW Version"); "Unknown" when the resource cannot be
// read; empty for other modes. Never raises.
std::wstring GetFileVersion(const std::wstring& fileName, int mode);
// The key of the first string table of a version block ("040904B0"), read
// within the block's own lengths: a malformed block gives an empty text and
// nothing outside [data, data + size) is read.
std::wstring FirstStringTableKey(const BYTE* data, size_t size);
// "%d.%d.%d.%d" of the fixed part, or empty.
std::wstring FixedFileVersion(const std::wstring& fileName);
// A shell folder with a trailing backslash, or empty.
std::wstring ShellFolderPath(int csidl);

// What the application-data folder lookups ask of the platform.
class IDataFolderSource {
public:
    virtual ~IDataFolderSource() = default;
    virtual bool ShellFolder(int csidl, std::wstring& path) const = 0;
    // "Shell Folders" value of HKLM (all users) or HKCU; false when missing.
    virtual bool ShellFoldersValue(bool allUsers, std::wstring& path) const = 0;
    virtual std::wstring WindowsFolder() const = 0;
    virtual std::wstring UserName() const = 0;
    virtual DWORD OsMajor() const = 0;
    virtual bool FolderExists(const std::wstring& path) const = 0;
};
const IDataFolderSource& RealDataFolderSource();

std::wstring ResolveDataFolderFrom(const IDataFolderSource& src, bool allUsers);

class TAppFrame {
public:
    explicit TAppFrame(const IDataFolderSource& src = RealDataFolderSource());
    std::wstring AppDataDir;        // without trailing backslash
    std::wstring CommonAppDataDir;  // without trailing backslash
    // The folder for a kind number; kind 14 and kinds above 35 give current.
    std::wstring FolderByKind(int kind, const std::wstring& current = L"") const;
    std::wstring ResolveDataFolder(bool allUsers) const;

private:
    const IDataFolderSource& m_src;
};

// The shared instance, made at start-up.
const TAppFrame& AppFrame();

}  // namespace pelmo
