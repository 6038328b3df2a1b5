#include "collectors/RegistryExport.h"

#include "platform/Session.h"

namespace pelmo {

namespace {

const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kUninstall32[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

}  // namespace

std::wstring ExportValueLine(const TRegistry& reg, const std::wstring& name)
{
    const ValueKind kind = reg.ValueKindOf(name);
    if (kind == vkString || kind == vkExpandString) {
        std::wstring text;
        try {
            text = ReplaceAllText(reg.ReadText(name), L"\\", L"\\\\");
        } catch (...) {
            return L"\"" + name + L"\"=" + kRegReadError;
        }
        return L"\"" + name + L"\"=\"" + text + L"\"";
    }
    return L"\"" + name + L"\"=" + reg.ValueAsRegText(name);
}

void ExportKeyTree(TRegistry& reg, LineList& list, const std::wstring& path, const std::wstring& rootName)
{
    reg.ClosePath();
    if (!reg.OpenPath(path, false)) return;
    list.push_back(L"");
    list.push_back(L"[" + rootName + L"\\" + path + L"]");
    std::vector<std::wstring> values;
    reg.ListValueNames(values);
    for (const auto& name : values) list.push_back(ExportValueLine(reg, name));
    if (!reg.AnySubKeys()) return;
    std::vector<std::wstring> subKeys;
    reg.ListSubKeyNames(subKeys);
    for (const auto& sub : subKeys) ExportKeyTree(reg, list, path + L"\\" + sub, rootName);
}

void DoClllectEx(LineList& list)
{
    try {
        // Read rights only: a key the administrator may only read is still exported.
        TRegistry reg(KEY_READ);
        const bool wow = IsWow64();
        for (auto [root, rootName] : {std::pair{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
                                      std::pair{HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"}}) {
            reg.SelectRootKey(root);
            ExportKeyTree(reg, list, kUninstall, rootName);
            if (wow) ExportKeyTree(reg, list, kUninstall32, rootName);
        }
    } catch (...) {
    }
}

void DoClllectDNS(LineList& list)
{
    try {
        TRegistry reg(KEY_READ);
        reg.SelectRootKey(HKEY_LOCAL_MACHINE);
        ExportKeyTree(reg, list, L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces",
                      L"HKEY_LOCAL_MACHINE");
    } catch (...) {
    }
}

}  // namespace pelmo
