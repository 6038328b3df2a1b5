#include "products/ProductLocations.h"

#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Reads a text value; false when it does not exist.
bool ReadTextValue(HKEY key, const wchar_t* name, std::wstring& out)
{
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw Error(Format(L"Invalid data type for '%ls'", name));
    std::vector<BYTE> data(size + 2);
    for (;;) {
        DWORD have = DWORD(data.size() - 2);
        LONG rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &have);
        if (rc == ERROR_MORE_DATA) {
            data.resize(have + 2);
            continue;
        }
        if (rc != ERROR_SUCCESS) throw Error(Format(L"Failed to get data for '%ls'", name));
        if (type != REG_SZ && type != REG_EXPAND_SZ) throw Error(Format(L"Invalid data type for '%ls'", name));
        size = have;
        break;
    }
    // Data need not be NUL-terminated nor of even length.
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    out = text;
    return true;
}

}  // namespace

std::wstring& AppPath()
{
    static std::wstring path;
    return path;
}

std::wstring GetInstallLocation(const std::wstring& entryName)
{
    UniqueHKey key;
    std::wstring path = kUninstallKey + entryName;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return {};
    std::wstring result;
    if (!ReadTextValue(key.get(), L"InstallLocation", result)) ReadTextValue(key.get(), L"Inno Setup: App Path", result);
    if (!result.empty()) result = IncludeTrailingBackslash(result);
    return result;
}

}  // namespace pelmo
