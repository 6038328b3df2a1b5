#include "collectors/Autoruns.h"

#include <shlobj.h>
#include <shobjidl.h>

#include "platform/AppFrame_New.h"
#include "platform/Com.h"
#include "platform/FolderWalk.h"
#include "platform/RegistryClassEx.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

enum Group { kStartup, kRun, kRunOnce, kRunOnceEx, kPoliciesRun, kNtRun, kWindowsShell, kGroupCount };

const wchar_t* const kHeaders[kGroupCount] = {
    L"---------- Startup ----------",     L"---------- Run ----------",
    L"---------- RunOnce ----------",     L"---------- RunOnceEx ----------",
    L"---------- policies Run ----------", L"---------- NT Run ----------",
    L"---------- Windows Shell ----------",
};

bool IsSeparatorChar(wchar_t c) { return c >= 1 && c <= 32; }

// Keys whose every value is one command line.
struct CommandKey {
    Group group;
    bool user;
    const wchar_t* path;
    bool wow64Only;
};

const CommandKey kCommandKeys[] = {
    {kRun, true, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", false},
    {kRun, false, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", false},
    {kRun, true, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", true},
    {kRun, false, L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", true},
    {kRunOnce, true, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", false},
    {kRunOnce, false, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", false},
    {kRunOnce, true, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true},
    {kRunOnce, false, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true},
    {kPoliciesRun, true, L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\Run", false},
    {kPoliciesRun, false, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\policies\\Explorer\\Run", false},
    {kPoliciesRun, true, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\Run",
     true},
    {kPoliciesRun, false, L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\policies\\Explorer\\Run",
     true},
};

struct RunOnceExKey {
    bool user;
    const wchar_t* path;
    bool wow64Only;
};

const RunOnceExKey kRunOnceExKeys[] = {
    {true, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", false},
    {false, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", false},
    {true, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", true},
    {false, L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", true},
};

// Values that hold a list of programs.
struct ListValue {
    Group group;
    bool user;
    const wchar_t* path;
    const wchar_t* value;
    FirstItemFilter filter;
    bool wow64Only;
};

const wchar_t kNtWindows[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kNtWindows32[] = L"Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kSystemPolicies[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
const wchar_t kSystemPolicies32[] = L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
const wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kWinlogon32[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

const ListValue kListValues[] = {
    {kNtRun, true, kNtWindows, L"Run", FirstItemFilter::None, false},
    {kNtRun, true, kNtWindows, L"Load", FirstItemFilter::None, false},
    {kNtRun, false, kNtWindows, L"Run", FirstItemFilter::None, false},
    {kNtRun, false, kNtWindows, L"Load", FirstItemFilter::None, false},
    {kNtRun, true, kNtWindows32, L"Run", FirstItemFilter::None, true},
    {kNtRun, true, kNtWindows32, L"Load", FirstItemFilter::None, true},
    {kNtRun, false, kNtWindows32, L"Run", FirstItemFilter::None, true},
    {kNtRun, false, kNtWindows32, L"Load", FirstItemFilter::None, true},
    {kWindowsShell, true, kSystemPolicies, L"Shell", FirstItemFilter::Explorer, false},
    {kWindowsShell, false, kWinlogon, L"Shell", FirstItemFilter::Explorer, false},
    {kWindowsShell, false, kWinlogon, L"Userinit", FirstItemFilter::Userinit, false},
    {kWindowsShell, true, kSystemPolicies32, L"Shell", FirstItemFilter::Explorer, true},
    {kWindowsShell, false, kWinlogon32, L"Shell", FirstItemFilter::Explorer, true},
    {kWindowsShell, false, kWinlogon32, L"Userinit", FirstItemFilter::Userinit, true},
};

class ShellLinkReader : public IShortcutReader {
public:
    std::wstring Resolve(const std::wstring& path) const override { return ResolveShortcut(path); }
};

// Opens root\path for reading after closing whatever was open.
bool OpenKey(TRegistry& reg, HKEY root, const std::wstring& path)
{
    reg.ClosePath();
    reg.SelectRootKey(root);
    return reg.OpenPathForReading(path);
}

void AddStartupFolder(const AutorunSources& src, const std::wstring& folder, LineList& lines)
{
    if (folder.empty()) return;
    LineList files;
    ListFolderFiles(folder, files);
    for (const auto& file : files) {
        const std::wstring name = ExtractFileName(file);
        if (SameText(name, L"desktop.ini") || SameText(name, L"Thumbs.db")) continue;
        if (!EndsWithText(name, L".lnk")) {
            lines.push_back(file);
            continue;
        }
        try {
            lines.push_back(src.shortcuts->Resolve(file));
        } catch (...) {
            // No shell link object for this one: the other files still count.
        }
    }
}

void AddCommandKey(TRegistry& reg, HKEY root, const std::wstring& path, LineList& lines)
{
    if (!OpenKey(reg, root, path)) return;
    std::vector<std::wstring> names;
    reg.ListValueNames(names);
    bool isText = true;
    for (const auto& name : names) lines.push_back(name + L"=" + ReadTextOrNotation(reg, name, isText));
    reg.ClosePath();
}

void AddRunOnceExKey(TRegistry& reg, HKEY root, const std::wstring& path, LineList& lines)
{
    if (!OpenKey(reg, root, path)) return;
    std::vector<std::wstring> entries;
    reg.ListSubKeyNames(entries);
    reg.ClosePath();
    for (const auto& entry : entries) {
        if (!OpenKey(reg, root, path + L"\\" + entry)) continue;
        std::vector<std::wstring> names;
        reg.ListValueNames(names);
        for (const auto& name : names) {
            bool isText = true;
            std::wstring text = ReadTextOrNotation(reg, name, isText);
            if (!isText) {
                lines.push_back(name + L"=" + text);
                continue;
            }
            LineList entryLines = RunOnceExLines(text);
            lines.insert(lines.end(), entryLines.begin(), entryLines.end());
        }
        reg.ClosePath();
    }
}

void AddListValue(TRegistry& reg, HKEY root, const ListValue& row, const AutorunSources& src, LineList& lines)
{
    if (!OpenKey(reg, root, row.path)) return;
    bool isText = true;
    std::wstring text = ReadTextOrNotation(reg, row.value, isText);
    reg.ClosePath();
    if (!isText) {
        lines.push_back(std::wstring(row.value) + L"=" + text);
        return;
    }
    const auto items = SplitListItems(text);
    for (size_t i = 0; i < items.size(); ++i) {
        if (Trim(items[i]).empty()) continue;
        if (i == 0 && IsStandardFirstItem(row.filter, items[i], src.windowsDir, src.systemDir)) continue;
        lines.push_back(items[i]);
    }
}

}  // namespace

std::vector<std::wstring> SplitListItems(const std::wstring& text)
{
    std::vector<std::wstring> items;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n && IsSeparatorChar(text[i])) ++i;
    while (i < n && text[i] != L'\0') {
        std::wstring item;
        if (text[i] == L'"') {
            ++i;
            while (i < n) {
                if (text[i] == L'"') {
                    if (i + 1 < n && text[i + 1] == L'"') {
                        item.push_back(L'"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item.push_back(text[i++]);
            }
        } else {
            while (i < n && text[i] > L' ' && text[i] != L',') item.push_back(text[i++]);
        }
        items.push_back(item);
        while (i < n && IsSeparatorChar(text[i])) ++i;
        if (i < n && text[i] == L',') {
            if (i + 1 == n) items.emplace_back();
            ++i;
            while (i < n && IsSeparatorChar(text[i])) ++i;
        }
    }
    return items;
}

std::vector<std::wstring> SplitBarPieces(const std::wstring& text)
{
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t bar = text.find(L'|', start);
        if (bar == std::wstring::npos) bar = text.size();
        if (bar > start) pieces.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    return pieces;
}

LineList RunOnceExLines(const std::wstring& text)
{
    const auto p = SplitBarPieces(text);
    LineList lines;
    if (!p.empty() && !Trim(p[0]).empty()) lines.push_back(L"rundll32.exe " + p[0]);
    if (p.size() >= 2 && !Trim(p[1]).empty()) lines.push_back(L"rundll32.exe " + p[0] + L"," + p[1]);
    if (p.size() >= 3) {
        if (Trim(p[0]).empty() && Trim(p[1]).empty())
            lines.push_back(p[2]);
        else
            lines.push_back(L"rundll32.exe " + p[0] + L"," + p[1] + L" " + p[2]);
    }
    return lines;
}

bool IsStandardFirstItem(FirstItemFilter filter, const std::wstring& item, const std::wstring& windowsDir,
                         const std::wstring& systemDir)
{
    const wchar_t* name = nullptr;
    switch (filter) {
    case FirstItemFilter::Explorer: name = L"explorer.exe"; break;
    case FirstItemFilter::Userinit: name = L"userinit.exe"; break;
    default: return false;
    }
    return SameText(item, name) || SameText(item, systemDir + L"\\" + name) ||
           SameText(item, windowsDir + L"\\" + name);
}

const IShortcutReader& RealShortcutReader()
{
    static const ShellLinkReader reader;
    return reader;
}

AutorunSources RealAutorunSources()
{
    AutorunSources src;
    src.wow64 = IsWow64();
    src.userStartup = AppFrame().FolderByKind(10);
    src.commonStartup = GetSpecialFolder(nullptr, CSIDL_COMMON_STARTUP);
    src.windowsDir = AppFrame().FolderByKind(0);
    src.systemDir = AppFrame().FolderByKind(1);
    src.shortcuts = &RealShortcutReader();
    return src;
}

std::wstring ResolveShortcut(const std::wstring& path)
{
    OleScope ole;  // declared first, so the objects below are released before it ends
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (FAILED(hr) || !link) throw Error(Format(L"no shell link object (0x%08lX)", static_cast<unsigned long>(hr)));
    wchar_t target[MAX_PATH + 1] = {};
    wchar_t arguments[MAX_PATH + 1] = {};
    ComPtr<IPersistFile> file;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put_void())) && file &&
        SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        if (FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_UNCPRIORITY))) target[0] = L'\0';
        if (FAILED(link->GetArguments(arguments, MAX_PATH))) arguments[0] = L'\0';
    }
    target[MAX_PATH] = L'\0';
    arguments[MAX_PATH] = L'\0';
    return L"\"" + std::wstring(target) + L"\" " + arguments;
}

LineList GetAutorunListFrom(const AutorunSources& src)
{
    std::vector<LineList> groups(kGroupCount);
    AddStartupFolder(src, src.userStartup, groups[kStartup]);
    AddStartupFolder(src, src.commonStartup, groups[kStartup]);

    TRegistry reg(KEY_READ);
    auto rootOf = [&](bool user) { return user ? src.currentUser : src.localMachine; };
    for (const auto& key : kCommandKeys) {
        if (key.wow64Only && !src.wow64) continue;
        AddCommandKey(reg, rootOf(key.user), key.path, groups[key.group]);
    }
    for (const auto& key : kRunOnceExKeys) {
        if (key.wow64Only && !src.wow64) continue;
        AddRunOnceExKey(reg, rootOf(key.user), key.path, groups[kRunOnceEx]);
    }
    for (const auto& row : kListValues) {
        if (row.wow64Only && !src.wow64) continue;
        AddListValue(reg, rootOf(row.user), row, src, groups[row.group]);
    }

    LineList block{L"", L"===== Autoruns =====", L""};
    for (int g = 0; g < kGroupCount; ++g) {
        if (groups[g].empty()) continue;
        block.push_back(kHeaders[g]);
        block.insert(block.end(), groups[g].begin(), groups[g].end());
    }
    return block;
}

LineList GetAutorunListx() { return GetAutorunListFrom(RealAutorunSources()); }

}  // namespace pelmo
