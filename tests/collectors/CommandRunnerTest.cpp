#include "collectors/CommandRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "collectors/uScheduledTasksEnum.h"
#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

// Commands start only from the system folder: the test console program is
// put there for the run of the tests (the prefix is the test run's own).
const std::wstring& FakeProgram()
{
    static const std::wstring path = [] {
        std::wstring target = SystemProgram(L"PelmoFakeConsole.exe");
        CopyFileW((ApplicationFolder() + L"FakeConsole.exe").c_str(), target.c_str(), FALSE);
        return target;
    }();
    return path;
}

std::string Fake(const char* mode) { return ToAnsi(L"\"" + FakeProgram() + L"\" ") + mode; }

TEST(CommandRunner, LinesAsTheCommandWroteThem)
{
    LineList lines;
    EXPECT_TRUE(RunCommand(Fake("lines"), lines));
    EXPECT_EQ(lines, (LineList{L"first", L"second", L"", L"last without a break"}));
    lines.clear();
    RunCommand(Fake("cr"), lines);
    std::sort(lines.begin(), lines.end());  // two streams into one pipe
    EXPECT_EQ(lines, (LineList{L"one", L"to stderr", L"two"}));
    lines.clear();
    RunCommand(Fake("ansi"), lines);
    ASSERT_EQ(lines.size(), 1u);
    if (GetACP() == 1252) {
        EXPECT_EQ(lines[0], L"caf\u00e9");
    }
    lines.clear();
    RunCommand(Fake("big"), lines);
    ASSERT_EQ(lines.size(), 100000u);
    EXPECT_EQ(lines.back(), L"line 099999 of a long listing of scheduled tasks");
}

TEST(CommandRunner, ACommandThatHangsIsEndedAtItsBound)
{
    LineList lines;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(RunCommand(Fake("sleep"), lines, 1500));
    EXPECT_LT(GetTickCount() - start, 60000u);
    EXPECT_EQ(lines, (LineList{L"before the pause"}));
    EXPECT_THROW(RunCommand("no-such-program-pelmo.exe", lines), Error);
}

// Only programs of the system folder are started, never one found by
// search: not a bare name, not a program beside the test.
TEST(CommandRunner, ProgramsOutsideTheSystemFolderAreRefused)
{
    LineList lines;
    const std::wstring beside = ApplicationFolder() + L"FakeConsole.exe";
    EXPECT_THROW(RunCommand(ToAnsi(L"\"" + beside + L"\" lines"), lines), Error);
    EXPECT_THROW(RunCommand("FakeConsole.exe lines", lines), Error);
    EXPECT_THROW(RunCommand("cmd.exe /c echo x", lines), Error);
    EXPECT_FALSE(RunHiddenCommand(L"\"" + beside + L"\" lines", 10000));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(SystemCommandLine(L"sc.exe", L"start MpsSvc"), L"\"" + SystemFolder() + L"\\sc.exe\" start MpsSvc");
    const std::wstring cmd = CmdCommandLine(L"schtasks.exe", L"/query /FO csv");
    EXPECT_EQ(cmd, L"\"" + SystemFolder() + L"\\cmd.exe\" /c " + SystemFolder() + L"\\schtasks.exe /query /FO csv");
    // The command runs where its program lives, in the system folder.
    EXPECT_TRUE(RunCommand(ToAnsi(CmdCommandLine(L"PelmoFakeConsole.exe", L"lines")), lines, 60000));
    EXPECT_EQ(lines, (LineList{L"first", L"second", L"", L"last without a break"})) << FakeProgram();
    lines.clear();
    EXPECT_TRUE(RunCommand(ToAnsi(SystemCommandLine(L"cmd.exe", L"/c cd")), lines, 60000));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(SameText(lines[0], SystemFolder())) << lines[0];
}

// A command inherits its own pipe and nothing else: not a handle this
// process made inheritable for something else, not another command's pipe.
TEST(CommandRunner, ACommandInheritsOnlyItsOwnPipe)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    ASSERT_TRUE(CreatePipe(&readRaw, &writeRaw, &sa, 0));
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    LineList lines;
    char arg[64];
    snprintf(arg, sizeof arg, "write %llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(writeRaw)));
    EXPECT_TRUE(RunCommand(Fake(arg), lines, 60000));
    writeEnd.reset();
    char buf[16];
    DWORD got = 0;
    // Everything that held the write end is gone: the read ends at once,
    // with nothing in the pipe.
    EXPECT_FALSE(ReadFile(readEnd.get(), buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(lines, (LineList{L"has it not"}));
}

TEST(CommandRunner, TextFilesByTheirByteOrderMark)
{
    EXPECT_EQ(LoadTextLines("a\r\nb\nc\rd"), (LineList{L"a", L"b", L"c", L"d"}));
    const std::wstring w = L"\uFEFFHost Name: PELMO\r\nOS Name: Windows\r\n";
    EXPECT_EQ(LoadTextLines(std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2)),
              (LineList{L"Host Name: PELMO", L"OS Name: Windows"}));
    EXPECT_EQ(LoadTextLines("\xEF\xBB\xBFx\r\n\r\ny"), (LineList{L"x", L"", L"y"}));
    EXPECT_TRUE(LoadTextLines("").empty());
}

TEST(CommandRunner, SystemSummaryStartsWithItsHeader)
{
    LineList lines = GetSystemInfoLines(60000);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_FALSE(lines[0].empty());
    EXPECT_EQ(lines[1], L"");
    EXPECT_EQ(lines[2], L"===== System =====");
    test::TempDir dir;
    WriteSystemInfoFile(dir.Path());
    std::string bytes = test::ReadBytes(dir.Path() + L"SystemInfo.txt");
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_FALSE(FileInUse(dir.Path() + L"SystemInfo.txt"));
    EXPECT_TRUE(FileInUse(dir.Path() + L"missing.txt"));
}

TEST(ScheduledTasks, NamesOfTheRootFolderFromTheSummary)
{
    const LineList raw = {
        L"\"TaskName\",\"Next Run Time\",\"Status\"",
        L"\"\\PelmoUpdate\",\"12/11/2026 10:00:00\",\"Ready\"",
        L"\"\\pelmoupdate\",\"N/A\",\"Ready\"",
        L"\"\\Caf\u00e9 task\",\"N/A\",\"Disabled\"",
        L"\"\\Microsoft\\Windows\\Defrag\",\"N/A\",\"Ready\"",
        L"\"\\After the sub-folder\",\"N/A\",\"Ready\"",
    };
    LineList names;
    TaskNamesFromCsv(raw, names);
    EXPECT_EQ(names, (LineList{L"PelmoUpdate", L"Caf\u00e9 task"}));
    // A repeated header or an empty line ends the scan.
    LineList names2;
    TaskNamesFromCsv({L"\"TaskName\"", L"\"\\A\",\"x\"", L"", L"\"\\B\",\"x\""}, names2);
    EXPECT_EQ(names2, (LineList{L"A"}));
    LineList names3;
    TaskNamesFromCsv({L"\"TaskName\"", L"\"\\A\",\"x\"", L"\"TaskName\",\"Next Run Time\"", L"\"\\B\",\"x\""}, names3);
    EXPECT_EQ(names3, (LineList{L"A"}));
}

DWORD ReadCodePage(bool& exists)
{
    UniqueHKey k;
    exists = false;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Console\\%SystemRoot%_system32_cmd.exe", 0, KEY_READ, k.put()) != ERROR_SUCCESS)
        return 0;
    DWORD v = 0, size = 4, type = 0;
    exists = RegQueryValueExW(k.get(), L"CodePage", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) == ERROR_SUCCESS;
    return v;
}

void WriteCodePage(const DWORD* value)
{
    UniqueHKey k;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Console\\%SystemRoot%_system32_cmd.exe", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, k.put(), nullptr);
    if (value)
        RegSetValueExW(k.get(), L"CodePage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(value), 4);
    else
        RegDeleteValueW(k.get(), L"CodePage");
}

TEST(ScheduledTasks, ConsoleCodePageIsAlwaysPutBack)
{
    bool exists = false;
    // No value before: removed again, also when the listing raises.
    WriteCodePage(nullptr);
    try {
        ConsoleCodePage437 cp;
        ASSERT_TRUE(cp.Usable());
        EXPECT_EQ(ReadCodePage(exists), 437u);
        EXPECT_TRUE(exists);
        LineList lines;
        RunCommand("no-such-program-pelmo.exe", lines);  // a task command that fails
    } catch (const Error&) {
    }
    ReadCodePage(exists);
    EXPECT_FALSE(exists);
    // An old value comes back.
    const DWORD old = 65001;
    WriteCodePage(&old);
    {
        ConsoleCodePage437 cp;
        EXPECT_EQ(ReadCodePage(exists), 437u);
    }
    EXPECT_EQ(ReadCodePage(exists), 65001u);
    WriteCodePage(nullptr);
}

TEST(ScheduledTasks, TaskFileInTheAnsiCodePage)
{
    test::TempDir dir;
    EnumTasks(dir.Path() + L"task.txt");
    std::string bytes = test::ReadBytes(dir.Path() + L"task.txt");
    EXPECT_NE(bytes.substr(0, 2), "\xFF\xFE");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    bool exists = false;
    ReadCodePage(exists);
    EXPECT_FALSE(exists);  // whatever the listing did, the value is not left behind
}

}  // namespace
}  // namespace pelmo

namespace pelmo {
namespace {

// The prefix's "systeminfo" and "schtasks" are the test stand-ins; these
// choose what they print, and they log each call with the console code page
// they saw.
class FakeCommands {
public:
    explicit FakeCommands(const wchar_t* scenario)
    {
        SetEnvironmentVariableW(L"PELMO_FAKE_SCENARIO", scenario);
        SetEnvironmentVariableW(L"PELMO_FAKE_LOG", (m_dir.Path() + L"calls.log").c_str());
        SetEnvironmentVariableW(L"PELMO_FAKE_PIDFILE", (m_dir.Path() + L"pid.txt").c_str());
    }
    ~FakeCommands()
    {
        SetEnvironmentVariableW(L"PELMO_FAKE_SCENARIO", nullptr);
        SetEnvironmentVariableW(L"PELMO_FAKE_LOG", nullptr);
        SetEnvironmentVariableW(L"PELMO_FAKE_PIDFILE", nullptr);
    }
    // Each call: the stand-in's arguments after its own name, then the code page.
    LineList Calls() const
    {
        LineList out;
        for (auto& l : LoadTextLines(test::ReadBytes(m_dir.Path() + L"calls.log"))) {
            // The program as cmd.exe named it comes first.
            size_t end = l[0] == L'"' ? l.find(L'"', 1) + 1 : l.find(L' ');
            out.push_back(Trim(l.substr(end)));
        }
        return out;
    }
    DWORD LastPid() const { return DWORD(std::stoul(test::ReadBytes(m_dir.Path() + L"pid.txt"))); }
    const std::wstring& Dir() const { return m_dir.Path(); }

private:
    test::TempDir m_dir;
};

TEST(CommandRunnerSystemInfo, LinesOfTheCommandBelowTheThreeHeaderLines)
{
    struct Case {
        const wchar_t* scenario;
        LineList output;
    };
    const Case cases[] = {
        {L"empty", {}},
        {L"breaks", {L"first", L"second", L"", L"third", L"fourth", L"", L"last without a break"}},
    };
    for (const auto& c : cases) {
        FakeCommands fake(c.scenario);
        LineList lines = GetSystemInfoLines(120000);
        ASSERT_GE(lines.size(), 3u) << c.scenario;
        EXPECT_FALSE(lines[0].empty()) << c.scenario;  // the date and time
        LineList expected{L"", L"===== System ====="};
        expected.insert(expected.end(), c.output.begin(), c.output.end());
        EXPECT_EQ(LineList(lines.begin() + 1, lines.end()), expected) << c.scenario;
    }
    // A big output arrives whole, and the temp file is gone afterwards.
    FakeCommands fake(L"big");
    LineList big = GetSystemInfoLines(300000);
    ASSERT_EQ(big.size(), 3u + 3u + 60000u);
    EXPECT_EQ(big[4], L"Host Name:                 PELMO-PC");
    EXPECT_EQ(big.back().substr(0, 26), L"systeminfo       00059999:");
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    WIN32_FIND_DATAW fd;
    UniqueFind left(FindFirstFileW((std::wstring(tmp) + L"SystemInfo_*.txt").c_str(), &fd));
    EXPECT_FALSE(left) << "temp file left behind";
}

TEST(CommandRunnerSystemInfo, AHangingCommandIsEndedWithWhatItWrote)
{
    FakeCommands fake(L"hang");
    LineList lines = GetSystemInfoLines(3000);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], L"before the pause");
    // The stand-in itself was ended, not only the cmd.exe that started it.
    UniqueHandle p(OpenProcess(SYNCHRONIZE, FALSE, fake.LastPid()));
    if (p) {
        EXPECT_EQ(WaitForSingleObject(p.get(), 10000), WAIT_OBJECT_0);
    }
}

// The console code page value: its type and data, or absent.
struct CodePageValue {
    bool exists = false;
    DWORD type = 0;
    std::string data;
    bool operator==(const CodePageValue&) const = default;
};
const wchar_t kConsole[] = L"Console\\%SystemRoot%_system32_cmd.exe";
CodePageValue ReadValue()
{
    CodePageValue v;
    UniqueHKey k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConsole, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return v;
    char buf[64];
    DWORD size = sizeof(buf);
    v.exists = RegQueryValueExW(k.get(), L"CodePage", nullptr, &v.type, reinterpret_cast<BYTE*>(buf), &size) ==
               ERROR_SUCCESS;
    if (v.exists) v.data.assign(buf, size);
    return v;
}
void SetValue(DWORD type, const void* data, DWORD size)
{
    UniqueHKey k;
    RegCreateKeyExW(HKEY_CURRENT_USER, kConsole, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr);
    RegSetValueExW(k.get(), L"CodePage", 0, type, static_cast<const BYTE*>(data), size);
}
void DeleteValue()
{
    UniqueHKey k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConsole, 0, KEY_ALL_ACCESS, k.put()) == ERROR_SUCCESS)
        RegDeleteValueW(k.get(), L"CodePage");
}

TEST(ScheduledTasksFake, RootTasksInOrderWithTheirDetails)
{
    DeleteValue();
    FakeCommands fake(L"default");
    test::TempDir dir;
    EnumTasks(dir.Path() + L"task.txt");
    // One summary, then one detail call per root task before the repeated
    // header, without the case-insensitive repeat; nothing was retried.
    EXPECT_EQ(fake.Calls(), (LineList{L"/query /FO csv codepage=-1",
                                      L"/query /V /TN \"PelmoUpdate\" /FO list codepage=-1",
                                      L"/query /V /TN \"Pelmo T\u00e2che planifi\u00e9e\" /FO list codepage=-1",
                                      L"/query /V /TN \"OneDrive Standalone Update Task-S-1-5-21\" /FO list codepage=-1"}));
    std::string bytes = test::ReadBytes(dir.Path() + L"task.txt");
    std::string detail = test::ReadBytes(L"Z:" + ReplaceAllText(FromUtf8(PELMO_SOURCE_DIR), L"/", L"\\") +
                                         L"\\tests\\fixtures\\commands\\default\\schtasks-task.out");
    ASSERT_FALSE(detail.empty());
    std::string expected;
    for (const char* name :
         {"PelmoUpdate", "Pelmo T\xe2" "che planifi\xe9" "e", "OneDrive Standalone Update Task-S-1-5-21"}) {
        std::string one = detail;
        one.replace(one.find("{NAME}"), 6, name);
        expected += one;
    }
    EXPECT_EQ(bytes, expected);  // ANSI, no byte-order mark, CR LF after every line
    EXPECT_EQ(ReadValue(), CodePageValue{});
}

// The step as a whole has a budget: with every call hanging, the summary
// and the first task use it up, and the other tasks are not started at all.
TEST(ScheduledTasksFake, TheWholeListingEndsWithItsBudget)
{
    DeleteValue();
    FakeCommands fake(L"hang-tasks");
    test::TempDir dir;
    EnumTasks(dir.Path() + L"task.txt", 4000, 8000);
    const LineList calls = fake.Calls();
    ASSERT_EQ(calls.size(), 2u) << "summary and one task, not all three";
    EXPECT_EQ(calls[0], L"/query /FO csv codepage=-1");
    EXPECT_EQ(calls[1], L"/query /V /TN \"PelmoUpdate\" /FO list codepage=-1");
    EXPECT_EQ(ReadValue(), CodePageValue{});
}

TEST(ScheduledTasksFake, LineBreaksOfTheDetailsAndAFinalLineWithoutOne)
{
    FakeCommands fake(L"breaks");
    LineList lines;
    GetScheduledTasks(lines);
    // CR LF and CR end a line, CR LF CR LF gives an empty one, a lone LF is
    // dropped, and the last line is kept without its break.
    EXPECT_EQ(lines, (LineList{L"A", L"B", L"C", L"", L"DE", L"last without a break"}));
}

TEST(ScheduledTasksFake, SecondSummaryInCodePage437AndTheValueRestored)
{
    const DWORD oem = 850;
    const wchar_t text[] = L"850";
    struct Case {
        const char* name;
        std::function<void()> before;
        size_t calls;  // summaries and task details
    };
    // The summary gives names only in code page 437: a retry with it, except
    // where the value is 437 already (no retry needed) or of another type
    // (nothing is changed and no details come).
    const Case cases[] = {
        {"missing", [] { DeleteValue(); }, 4},
        {"existing", [&] { SetValue(REG_DWORD, &oem, 4); }, 4},
        {"already 437", [] { DWORD v = 437; SetValue(REG_DWORD, &v, 4); }, 3},
        {"wrong type", [&] { SetValue(REG_SZ, text, sizeof(text)); }, 1},
    };
    for (const auto& c : cases) {
        c.before();
        const CodePageValue before = ReadValue();
        FakeCommands fake(L"cp437");
        test::TempDir dir;
        EnumTasks(dir.Path() + L"task.txt");
        LineList calls = fake.Calls();
        std::string bytes = test::ReadBytes(dir.Path() + L"task.txt");
        ASSERT_EQ(calls.size(), c.calls) << c.name;
        if (c.calls > 1) {
            EXPECT_EQ(calls[c.calls - 3], L"/query /FO csv codepage=437") << c.name;
            EXPECT_EQ(calls[c.calls - 2], L"/query /V /TN \"PelmoUpdate\" /FO list codepage=437") << c.name;
            EXPECT_NE(bytes.find("TaskName:                             \\Pelmo T\xe2" "che planifi\xe9" "e\r\n"),
                      std::string::npos)
                << c.name;
        } else {
            EXPECT_EQ(bytes, "") << c.name;  // written, with zero bytes
        }
        EXPECT_EQ(ReadValue(), before) << c.name;
    }
    DeleteValue();
}

TEST(ScheduledTasksFake, NoTasksGiveAnEmptyFile)
{
    DeleteValue();
    FakeCommands fake(L"empty");
    test::TempDir dir;
    EnumTasks(dir.Path() + L"task.txt");
    EXPECT_EQ(fake.Calls().size(), 2u);  // the summary, and its retry
    EXPECT_EQ(test::ReadBytes(dir.Path() + L"task.txt"), "");
    EXPECT_EQ(ReadValue(), CodePageValue{});
}

TEST(ScheduledTasksFake, SeveralMegabytesOfDetails)
{
    FakeCommands fake(L"big");
    LineList lines;
    GetScheduledTasks(lines);
    ASSERT_EQ(lines.size(), 4u + 40000u);
    EXPECT_EQ(lines[3], L"TaskName:                             \\PelmoUpdate");
    EXPECT_EQ(lines.back().substr(0, 26), L"schtasks         00039999:");
}

}  // namespace
}  // namespace pelmo
