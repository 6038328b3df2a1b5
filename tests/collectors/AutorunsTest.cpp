#include "collectors/Autoruns.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include "collectors/BrowserHelperObjects.h"
#include "platform/Com.h"
#include "tests/fakes/ScratchKey.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

using test::ScratchKey;
using test::TempDir;
using test::WriteBytes;

// The lines as one text for a readable difference; a line of the given
// long text shows as its length.
std::string Joined(const LineList& lines, const std::wstring& longText = L"")
{
    std::string out;
    for (const auto& l : lines) {
        const bool isLong = !longText.empty() && l.find(longText) != std::wstring::npos;
        out += (isLong ? "<" + std::to_string(l.size()) + " characters>" : ToUtf8(l)) + "\n";
    }
    return out;
}

TEST(AutorunsListRule, ItemsOfCommaSeparatedText)
{
    struct Case {
        const wchar_t* text;
        std::vector<std::wstring> items;
    };
    const Case cases[] = {
        {L"", {}},
        {L"   ", {}},
        {L"explorer.exe", {L"explorer.exe"}},
        {L"explorer.exe,other.exe", {L"explorer.exe", L"other.exe"}},
        {L"C:\\Windows\\system32\\userinit.exe,", {L"C:\\Windows\\system32\\userinit.exe", L""}},
        {L"C:\\Program Files\\a.exe", {L"C:\\Program", L"Files\\a.exe"}},
        {L"\"C:\\Program Files\\a.exe\" /x", {L"C:\\Program Files\\a.exe", L"/x"}},
        {L"  a ,  b", {L"a", L"b"}},
        {L"a\tb\r\nc", {L"a", L"b", L"c"}},
        {L"a,,b", {L"a", L"", L"b"}},
        {L"a, ,b", {L"a", L"", L"b"}},
        {L"a ,", {L"a", L""}},
        {L",a", {L"", L"a"}},
        {L"\"say \"\"hi\"\"\",b", {L"say \"hi\"", L"b"}},
        {L"\"unterminated, x", {L"unterminated, x"}},
        {L"\"a\"b", {L"a", L"b"}},
        {L"\"\"", {L""}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitListItems(c.text), c.items) << ToUtf8(c.text);
}

TEST(AutorunsRunOnceEx, PiecesGiveIndependentLines)
{
    struct Case {
        const wchar_t* text;
        LineList lines;
    };
    const Case cases[] = {
        {L"a.dll|Install|/q", {L"rundll32.exe a.dll", L"rundll32.exe a.dll,Install", L"rundll32.exe a.dll,Install /q"}},
        {L"|||cmd.exe /c x", {L"rundll32.exe cmd.exe /c x"}},
        {L"a.dll", {L"rundll32.exe a.dll"}},
        {L"a.dll|Install", {L"rundll32.exe a.dll", L"rundll32.exe a.dll,Install"}},
        {L"a.dll||Install|", {L"rundll32.exe a.dll", L"rundll32.exe a.dll,Install"}},
        {L" | |cmd", {L"cmd"}},
        {L"a.dll| |/q", {L"rundll32.exe a.dll", L"rundll32.exe a.dll,  /q"}},
        {L"a|b|c|d", {L"rundll32.exe a", L"rundll32.exe a,b", L"rundll32.exe a,b c"}},
        {L" |b", {L"rundll32.exe  ,b"}},
        {L"   ", {}},
        {L"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(RunOnceExLines(c.text), c.lines) << ToUtf8(c.text);
    EXPECT_EQ(SplitBarPieces(L"|a||b |  |"), (std::vector<std::wstring>{L"a", L"b ", L"  "}));
}

TEST(AutorunsFirstItem, StandardProgramsByNameOrFolder)
{
    const std::wstring win = L"C:\\Windows", sys = L"C:\\Windows\\system32";
    struct Case {
        FirstItemFilter filter;
        const wchar_t* item;
        bool standard;
    };
    const Case cases[] = {
        {FirstItemFilter::Explorer, L"explorer.exe", true},
        {FirstItemFilter::Explorer, L"EXPLORER.EXE", true},
        {FirstItemFilter::Explorer, L"c:\\windows\\explorer.exe", true},
        {FirstItemFilter::Explorer, L"C:\\Windows\\System32\\explorer.exe", true},
        {FirstItemFilter::Explorer, L"C:\\Windows\\SysWOW64\\explorer.exe", false},
        {FirstItemFilter::Explorer, L"explorer", false},
        {FirstItemFilter::Explorer, L"userinit.exe", false},
        {FirstItemFilter::Userinit, L"C:\\Windows\\system32\\userinit.exe", true},
        {FirstItemFilter::Userinit, L"userinit.exe", true},
        {FirstItemFilter::Userinit, L"explorer.exe", false},
        {FirstItemFilter::None, L"explorer.exe", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsStandardFirstItem(c.filter, c.item, win, sys), c.standard) << ToUtf8(c.item);
}

// Shortcuts resolve to their own name; "broken.lnk" stands for a shortcut
// for which no shell link object could be made.
class NameShortcuts : public IShortcutReader {
public:
    std::wstring Resolve(const std::wstring& path) const override
    {
        if (SameText(ExtractFileName(path), L"broken.lnk")) throw Error(L"no shell link object");
        return L"\"T:" + ExtractFileName(path) + L"\" args";
    }
};

// Every group filled from two scratch roots, odd values among them.
class AutorunsBlock : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring run = L"Software\\Microsoft\\Windows\\CurrentVersion\\";
        const std::wstring run32 = L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\";
        const std::wstring nt = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\";
        const std::wstring nt32 = L"Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\";
        // Values are added in name order: the registry's order on any platform.
        user.SetText(run + L"Run", nullptr, L"C:\\default.exe");
        user.SetDword(run + L"Run", L"Counter", 7);
        user.SetText(run + L"Run", L"Exp", L"%SystemRoot%\\x.exe", REG_EXPAND_SZ);
        user.SetText(run + L"Run", L"Long", longText);
        user.SetText(run + L"Run", L"Tray", L"C:\\tray.exe /min");
        user.SetText(run32 + L"Run", L"Tray32", L"C:\\tray32.exe");
        machine.SetText(run + L"Run", L"Agent", L"\"C:\\Program Files\\Pelmo\\agent.exe\" /s");
        machine.SetText(run32 + L"Run", L"Agent32", L"C:\\agent32.exe");
        machine.SetText(run + L"RunOnce", L"Once", L"C:\\once.exe");
        machine.SetText(run + L"RunOnceEx", L"Title", L"Setup");
        machine.SetText(run + L"RunOnceEx\\0001", L"1", L"a.dll|Install|/q");
        machine.SetText(run + L"RunOnceEx\\0001", L"2", L"|||cmd.exe /c x");
        const BYTE bin[] = {1, 2};
        machine.Set(run + L"RunOnceEx\\0001", L"3", REG_BINARY, bin, 2);
        machine.SetText(run32 + L"RunOnceEx\\0002", L"1", L"b32.dll|Setup");
        user.SetText(run + L"Policies\\Explorer\\Run", L"Pol", L"C:\\pol.exe");
        user.SetText(nt + L"Windows", L"Run", L"C:\\r1.exe, C:\\r2.exe");
        user.SetText(nt + L"Windows", L"Load", L"");
        const wchar_t multi[] = L"a\0b\0";
        machine.Set(nt + L"Windows", L"Load", REG_MULTI_SZ, multi, sizeof(multi));
        machine.SetText(nt32 + L"Windows", L"Run", L"C:\\r32.exe");
        user.SetText(run + L"Policies\\System", L"Shell", L"first.exe,explorer.exe");
        machine.SetText(nt + L"Winlogon", L"Shell", L"explorer.exe,other.exe");
        machine.SetText(nt + L"Winlogon", L"Userinit", L"C:\\Windows\\system32\\userinit.exe,");
        machine.SetText(nt32 + L"Winlogon", L"Shell", L"C:\\Windows\\explorer.exe");

        WriteBytes(userStartup.Path() + L"a.txt", "a");
        WriteBytes(userStartup.Path() + L"b.lnk", "b");
        WriteBytes(userStartup.Path() + L"broken.lnk", "x");
        WriteBytes(userStartup.Path() + L"desktop.ini", "d");
        WriteBytes(userStartup.Path() + L"sub\\c.LNK", "c");
        WriteBytes(userStartup.Path() + L"Thumbs.db", "t");
        WriteBytes(commonStartup.Path() + L"DESKTOP.INI", "d");

        src.userStartup = ExcludeTrailingBackslash(userStartup.Path());
        src.commonStartup = ExcludeTrailingBackslash(commonStartup.Path());
        src.windowsDir = L"C:\\Windows";
        src.systemDir = L"C:\\Windows\\system32";
        src.currentUser = user.Root();
        src.localMachine = machine.Root();
        src.shortcuts = &shortcuts;
    }

    LineList Expected(bool wow64) const
    {
        LineList lines{L"", L"===== Autoruns =====", L"", L"---------- Startup ----------",
                       userStartup.Path() + L"a.txt", L"\"T:b.lnk\" args", L"\"T:c.LNK\" args",
                       L"---------- Run ----------", L"=C:\\default.exe", L"Counter=dword:00000007",
                       L"Exp=%SystemRoot%\\x.exe", L"Long=" + longText, L"Tray=C:\\tray.exe /min",
                       L"Agent=\"C:\\Program Files\\Pelmo\\agent.exe\" /s"};
        if (wow64) lines.insert(lines.end(), {L"Tray32=C:\\tray32.exe", L"Agent32=C:\\agent32.exe"});
        lines.insert(lines.end(), {L"---------- RunOnce ----------", L"Once=C:\\once.exe",
                                   L"---------- RunOnceEx ----------", L"rundll32.exe a.dll",
                                   L"rundll32.exe a.dll,Install", L"rundll32.exe a.dll,Install /q",
                                   L"rundll32.exe cmd.exe /c x", L"3=hex:01,02"});
        if (wow64) lines.insert(lines.end(), {L"rundll32.exe b32.dll", L"rundll32.exe b32.dll,Setup"});
        lines.insert(lines.end(), {L"---------- policies Run ----------", L"Pol=C:\\pol.exe",
                                   L"---------- NT Run ----------", L"C:\\r1.exe", L"C:\\r2.exe",
                                   L"Load=hex:61,00,00,00,62,00,00,00,00,00"});
        if (wow64) lines.push_back(L"C:\\r32.exe");
        lines.insert(lines.end(), {L"---------- Windows Shell ----------", L"first.exe", L"explorer.exe", L"other.exe"});
        return lines;
    }

    const std::wstring longText = std::wstring(5000, L'x') + L".exe";
    ScratchKey user{L"user"};
    ScratchKey machine{L"machine"};
    TempDir userStartup;
    TempDir commonStartup;
    NameShortcuts shortcuts;
    AutorunSources src;
};

TEST_F(AutorunsBlock, EveryGroupInOrderOn64BitWindows)
{
    src.wow64 = true;
    EXPECT_EQ(Joined(GetAutorunListFrom(src), longText), Joined(Expected(true), longText));
}

TEST_F(AutorunsBlock, On32BitWindowsOnlyThePlainPathsAreRead)
{
    src.wow64 = false;
    EXPECT_EQ(Joined(GetAutorunListFrom(src), longText), Joined(Expected(false), longText));
}

TEST(AutorunsEmpty, GroupsWithoutLinesLeaveNoHeader)
{
    ScratchKey user(L"u"), machine(L"m");
    const std::wstring nt = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
    machine.SetText(nt + L"Winlogon", L"Shell", L"explorer.exe");
    machine.SetText(nt + L"Winlogon", L"Userinit", L"C:\\Windows\\system32\\userinit.exe,");
    machine.Key(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    TempDir startup;
    WriteBytes(startup.Path() + L"desktop.ini", "d");
    NameShortcuts shortcuts;
    AutorunSources src;
    src.wow64 = true;
    src.userStartup = startup.Path();
    src.commonStartup = L"";
    src.windowsDir = L"C:\\Windows";
    src.systemDir = L"C:\\Windows\\system32";
    src.currentUser = user.Root();
    src.localMachine = machine.Root();
    src.shortcuts = &shortcuts;
    EXPECT_EQ(GetAutorunListFrom(src), (LineList{L"", L"===== Autoruns =====", L""}));
}

TEST(AutorunsShortcut, TargetAndArgumentsOfARealShortcut)
{
    TempDir dir;
    const std::wstring target = dir.Path() + L"tool.exe";
    WriteBytes(target, "MZ");
    {
        CoScope com;
        ComPtr<IShellLinkW> link;
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()));
        ASSERT_HRESULT_SUCCEEDED(link->SetPath(target.c_str()));
        ASSERT_HRESULT_SUCCEEDED(link->SetArguments(L"/a \"b c\""));
        ComPtr<IPersistFile> file;
        ASSERT_HRESULT_SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put_void()));
        ASSERT_HRESULT_SUCCEEDED(file->Save((dir.Path() + L"tool.lnk").c_str(), TRUE));
    }
    EXPECT_EQ(ResolveShortcut(dir.Path() + L"tool.lnk"), L"\"" + target + L"\" /a \"b c\"");
    // Files that are no shortcut give empty parts.
    WriteBytes(dir.Path() + L"garbage.lnk", std::string(300, 'g'));
    WriteBytes(dir.Path() + L"empty.lnk", "");
    EXPECT_EQ(ResolveShortcut(dir.Path() + L"garbage.lnk"), L"\"\" ");
    EXPECT_EQ(ResolveShortcut(dir.Path() + L"empty.lnk"), L"\"\" ");
    EXPECT_EQ(ResolveShortcut(dir.Path() + L"missing.lnk"), L"\"\" ");
    // The thread's apartment is as it was: a new one can still be entered.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    if (SUCCEEDED(hr)) CoUninitialize();
}

TEST(AutorunsShortcut, WorksInsideAMultiThreadedApartment)
{
    TempDir dir;
    WriteBytes(dir.Path() + L"garbage.lnk", "g");
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(hr));
    EXPECT_EQ(ResolveShortcut(dir.Path() + L"garbage.lnk"), L"\"\" ");
    CoUninitialize();
}

const wchar_t kObjects[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
const wchar_t kClsid[] = L"SOFTWARE\\Classes\\CLSID\\";

TEST(BrowserHelpers, OneLinePerObjectInRegistryOrder)
{
    ScratchKey machine(L"bho");
    const std::wstring a = L"{A0000000-0000-0000-0000-000000000001}", b = L"{B0000000-0000-0000-0000-000000000002}",
                       c = L"{C0000000-0000-0000-0000-000000000003}", d = L"{D0000000-0000-0000-0000-000000000004}",
                       e = L"{E0000000-0000-0000-0000-000000000005}";
    for (const auto& id : {a, b, c, d, e}) machine.Key(kObjects + id);
    machine.Key(std::wstring(kObjects) + L"Wow6432Node\\" + a);
    machine.SetText(kClsid + a, nullptr, L"Alpha Helper");
    machine.SetText(kClsid + a + L"\\InprocServer32", nullptr, L"C:\\Program Files\\Alpha\\alpha.dll");
    machine.SetText(kClsid + b + L"\\InprocServer32", nullptr, L"%ProgramFiles%\\Beta\\beta.dll", REG_EXPAND_SZ);
    machine.SetDword(kClsid + d, nullptr, 5);
    machine.SetText(kClsid + d + L"\\InprocServer32", nullptr, L"d.dll");
    machine.SetText(kClsid + e, nullptr, L"Echo");
    machine.Key(kClsid + e + L"\\InprocServer32");

    LineList list{L"before"};
    GetBHOItemListFrom(machine.Root(), list);
    EXPECT_EQ(Joined(list), Joined({L"before", kSeparatorLine, L"", L"===== BHOs =====", L"",
                                    L"Alpha Helper, C:\\Program Files\\Alpha\\alpha.dll",
                                    L", %ProgramFiles%\\Beta\\beta.dll", L", ", L"=dword:00000005, d.dll",
                                    L"Echo, "}));
}

TEST(BrowserHelpers, WithoutTheObjectsKeyOnlyTheTitle)
{
    ScratchKey machine(L"nobho");
    LineList list;
    GetBHOItemListFrom(machine.Root(), list);
    EXPECT_EQ(list, (LineList{kSeparatorLine, L"", L"===== BHOs =====", L""}));
}

}  // namespace
}  // namespace pelmo
