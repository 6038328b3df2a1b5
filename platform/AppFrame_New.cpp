#include "platform/AppFrame_New.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/RegistryClassEx.h"
#include "platform/Session.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

// A value VerQueryValueW found, accepted only when it lies wholly inside the
// block: the block comes from any file in a product folder.
bool Query(const std::vector<BYTE>& block, const std::wstring& path, void*& value, UINT& len, size_t unit = 1)
{
    if (!VersionQuery(block.data(), path, value, len)) return false;
    const BYTE* p = static_cast<const BYTE*>(value);
    const BYTE* begin = block.data();
    if (p < begin || p > begin + block.size()) return false;
    const size_t room = size_t(begin + block.size() - p);
    if (size_t(len) * unit > room) len = UINT(room / unit);
    return true;
}

std::wstring QueryString(const std::vector<BYTE>& block, const std::wstring& path)
{
    void* value = nullptr;
    UINT len = 0;
    if (!Query(block, path, value, len, sizeof(wchar_t)) || len == 0) return {};
    std::wstring s(len, L'\0');
    std::memcpy(s.data(), value, len * sizeof(wchar_t));  // the value need not be aligned
    size_t nul = s.find(L'\0');
    if (nul != std::wstring::npos) s.resize(nul);
    return s;
}

bool LoadVersionBlock(const std::wstring& fileName, std::vector<BYTE>& block)
{
    DWORD size = VersionInfoSize(fileName);
    if (size == 0) return false;
    block.assign(size, 0);
    return VersionInfo(fileName, size, block.data());
}

// One node of a version block: length, value length, type, NUL-terminated
// key, value, children. Every field is read within [at, limit).
struct VersionNode {
    size_t end = 0;       // one past the node
    size_t children = 0;  // where the first child starts
    std::wstring key;
};

WORD WordAt(const BYTE* data, size_t at)
{
    WORD w;
    std::memcpy(&w, data + at, sizeof(w));
    return w;
}

size_t Align4(size_t v) { return (v + 3) & ~size_t(3); }

bool ReadVersionNode(const BYTE* data, size_t at, size_t limit, VersionNode& node)
{
    if (at > limit || limit - at < 6) return false;
    const size_t length = WordAt(data, at);
    if (length < 6 || length > limit - at) return false;
    node.end = at + length;
    node.key.clear();
    size_t p = at + 6;
    for (;;) {
        if (node.end - p < 2) return false;  // no NUL inside the node
        const wchar_t c = wchar_t(WordAt(data, p));
        p += 2;
        if (c == 0) break;
        node.key.push_back(c);
    }
    const size_t valueBytes = WordAt(data, at + 4) == 1 ? size_t(WordAt(data, at + 2)) * 2 : WordAt(data, at + 2);
    p = Align4(p);
    if (p > node.end || valueBytes > node.end - p) return false;
    node.children = std::min(Align4(p + valueBytes), node.end);
    return true;
}

}  // namespace

std::wstring FirstStringTableKey(const BYTE* data, size_t size)
{
    VersionNode root;
    if (!data || !ReadVersionNode(data, 0, size, root)) return {};
    for (size_t at = root.children; at < root.end;) {
        VersionNode child;
        if (!ReadVersionNode(data, at, root.end, child)) break;
        if (child.key == L"StringFileInfo") {
            VersionNode table;
            if (ReadVersionNode(data, child.children, child.end, table)) return table.key.substr(0, 8);
        }
        at = Align4(child.end);
    }
    return {};
}

namespace {

class RealSource final : public IDataFolderSource {
public:
    bool ShellFolder(int csidl, std::wstring& path) const override
    {
        wchar_t buf[MAX_PATH + 1] = {};
        if (!SHGetSpecialFolderPathW(nullptr, buf, csidl, FALSE)) return false;
        path = buf;
        return true;
    }
    bool ShellFoldersValue(bool allUsers, std::wstring& path) const override
    {
        try {
            TRegistry reg(KEY_QUERY_VALUE);
            reg.SelectRootKey(allUsers ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
            if (!reg.OpenPathForReading(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"))
                return false;
            path = reg.ReadText(allUsers ? L"Common AppData" : L"AppData");
            return !path.empty();
        } catch (...) {
            return false;
        }
    }
    std::wstring WindowsFolder() const override
    {
        wchar_t buf[MAX_PATH + 1] = {};
        GetWindowsDirectoryW(buf, MAX_PATH);
        return buf;
    }
    std::wstring UserName() const override { return GetCurrentUserName(); }
    DWORD OsMajor() const override { return OsMajorAtStart(); }
    bool FolderExists(const std::wstring& path) const override { return DirectoryExists(path); }
};

}  // namespace

bool ReadFileVersionInfo(const std::wstring& fileName, TFileInfo& info, const std::wstring& extraName)
{
    try {
        std::vector<BYTE> block;
        if (!LoadVersionBlock(fileName, block)) return false;
        void* value = nullptr;
        UINT len = 0;
        if (!Query(block, L"\\VarFileInfo\\Translation", value, len) || len < 4) return false;
        const WORD* tr = static_cast<const WORD*>(value);
        std::wstring path = Format(L"\\StringFileInfo\\%04X%04X\\", tr[0], tr[1]);
        if (!Query(block, path, value, len)) {
            if (Query(block, L"\\StringFileInfo\\", value, len)) {
                std::wstring key = FirstStringTableKey(block.data(), block.size());
                if (!key.empty()) path = L"\\StringFileInfo\\" + key + L"\\";
            }
        }
        std::wstring* fields[] = {&info.CompanyName,     &info.FileDescription, &info.FileVersion, &info.InternalName,
                                  &info.LegalCopyright,  &info.LegalTrademarks, &info.OriginalFileName,
                                  &info.ProductName,     &info.ProductVersion,  &info.Comments};
        const wchar_t* names[] = {L"CompanyName",    L"FileDescription", L"FileVersion",      L"InternalName",
                                  L"LegalCopyright", L"LegalTrademarks", L"OriginalFileName", L"ProductName",
                                  L"ProductVersion", L"Comments"};
        for (size_t i = 0; i < 10; ++i) *fields[i] = QueryString(block, path + names[i]);
        if (Query(block, L"\\", value, len) && len >= sizeof(VS_FIXEDFILEINFO))
            info.Fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
        if (!extraName.empty()) info.Extra = QueryString(block, path + extraName);
        return true;
    } catch (...) {
        return false;
    }
}

std::wstring GetFileVersion(const std::wstring& fileName, int mode)
{
    TFileInfo info;
    if (!ReadFileVersionInfo(fileName, info, L"WOW Version")) return L"Unknown";
    switch (mode) {
    case 0: return info.Comments;
    case 1: return info.CompanyName;
    case 2: return info.FileDescription;
    case 3: return info.FileVersion;
    case 4: return info.InternalName;
    case 5: return info.LegalCopyright;
    case 6: return info.LegalTrademarks;
    case 7: return info.OriginalFileName;
    case 8: return info.ProductName;
    case 9: return info.ProductVersion;
    case 10: return info.Extra;
    default: return {};
    }
}

std::wstring FixedFileVersion(const std::wstring& fileName)
{
    if (!FileExists(fileName)) return {};
    std::vector<BYTE> block;
    if (!LoadVersionBlock(fileName, block)) return {};
    void* value = nullptr;
    UINT len = 0;
    if (!Query(block, L"\\", value, len) || len < sizeof(VS_FIXEDFILEINFO)) return {};
    const auto* f = static_cast<const VS_FIXEDFILEINFO*>(value);
    return Format(L"%u.%u.%u.%u", unsigned(HIWORD(f->dwFileVersionMS)), unsigned(LOWORD(f->dwFileVersionMS)),
                  unsigned(HIWORD(f->dwFileVersionLS)), unsigned(LOWORD(f->dwFileVersionLS)));
}

std::wstring ShellFolderPath(int csidl)
{
    PIDLIST_ABSOLUTE pidl = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &pidl)) || !pidl) return {};
    wchar_t buf[260] = {};
    BOOL ok = SHGetPathFromIDListW(pidl, buf);
    CoTaskMemFree(pidl);
    if (!ok) return {};
    return IncludeTrailingBackslash(buf);
}

const IDataFolderSource& RealDataFolderSource()
{
    static const RealSource source;
    return source;
}

std::wstring ResolveDataFolderFrom(const IDataFolderSource& src, bool allUsers)
{
    std::wstring path;
    if (src.ShellFolder(allUsers ? CSIDL_COMMON_APPDATA : CSIDL_APPDATA, path) && src.FolderExists(path)) return path;
    path.clear();
    if (src.ShellFoldersValue(allUsers, path) && src.FolderExists(path)) return path;
    const std::wstring drive = src.WindowsFolder().substr(0, 2);
    const std::wstring user = src.UserName();
    if (src.OsMajor() > 5)
        path = allUsers ? drive + L"\\ProgramData" : drive + L"\\Users\\" + user + L"\\AppData\\Roaming";
    else
        path = allUsers ? drive + L"\\Documents and Settings\\All Users\\Application Data"
                        : drive + L"\\Documents and Settings\\" + user + L"\\Application Data";
    return src.FolderExists(path) ? path : std::wstring();
}

TAppFrame::TAppFrame(const IDataFolderSource& src) : m_src(src)
{
    if (!src.ShellFolder(CSIDL_COMMON_APPDATA, CommonAppDataDir)) CommonAppDataDir = ResolveDataFolder(true);
    if (!src.ShellFolder(CSIDL_APPDATA, AppDataDir)) AppDataDir = ResolveDataFolder(false);
    CommonAppDataDir = ExcludeTrailingBackslash(CommonAppDataDir);
    AppDataDir = ExcludeTrailingBackslash(AppDataDir);
}

std::wstring TAppFrame::ResolveDataFolder(bool allUsers) const { return ResolveDataFolderFrom(m_src, allUsers); }

std::wstring TAppFrame::FolderByKind(int kind, const std::wstring& current) const
{
    static const int kCsidl[] = {
        -1, -1, -1, CSIDL_INTERNET_CACHE, CSIDL_COOKIES, CSIDL_HISTORY, CSIDL_RECENT, CSIDL_DESKTOPDIRECTORY,
        CSIDL_PROGRAMS, CSIDL_FAVORITES, CSIDL_STARTUP, CSIDL_PROFILE, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, -1,
        CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILES_COMMON, CSIDL_STARTMENU, CSIDL_COMMON_APPDATA, CSIDL_LOCAL_APPDATA,
        CSIDL_FONTS, CSIDL_TEMPLATES, CSIDL_NETHOOD, CSIDL_SENDTO, CSIDL_MYMUSIC, CSIDL_MYVIDEO, CSIDL_PRINTHOOD,
        CSIDL_MYPICTURES, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES_COMMON,
        CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_ADMINTOOLS, CSIDL_RESOURCES, CSIDL_CDBURN_AREA, CSIDL_PERSONAL,
    };
    if (kind < 0 || kind > 35 || kind == 14) return current;
    wchar_t buf[MAX_PATH + 1] = {};
    switch (kind) {
    case 0:
        return GetWindowsDirectoryW(buf, MAX_PATH) ? ExcludeTrailingBackslash(buf) : std::wstring();
    case 1:
        return GetSystemDirectoryW(buf, MAX_PATH) ? ExcludeTrailingBackslash(buf) : std::wstring();
    case 2:
        return GetTempPathW(MAX_PATH, buf) ? std::wstring(buf) : std::wstring();
    default: {
        std::wstring path;
        if (!m_src.ShellFolder(kCsidl[kind], path)) return {};
        return ExcludeTrailingBackslash(path);
    }
    }
}

const TAppFrame& AppFrame()
{
    static const TAppFrame frame;
    return frame;
}

}  // namespace pelmo
