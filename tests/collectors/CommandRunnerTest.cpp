#include "collectors/CommandRunner.h"

#include <gtest/gtest.h>

#include "collectors/uScheduledTasksEnum.h"
#include "platform/Handles.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

std::string Fake(const char* mode) { return ToUtf8(L"\"" + ApplicationFolder() + L"FakeConsole.exe\" ") + mode; }

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
    if (!bytes.empty()) {
        EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    }
    bool exists = false;
    ReadCodePage(exists);
    EXPECT_FALSE(exists);  // whatever the listing did, the value is not left behind
}

}  // namespace
}  // namespace pelmo
