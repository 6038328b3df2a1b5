#include "app/SaveFlow.h"

#include <gtest/gtest.h>

#include "app/CrashReporter.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

TEST(SaveFlow, DesktopOfTheLoggedOnUser)
{
    struct Case {
        const wchar_t *desktop, *logUser, *procUser, *expected;
    };
    const Case cases[] = {
        {L"C:\\Users\\B\\Desktop", L"A", L"B", L"C:\\Users\\A\\Desktop"},
        {L"C:\\Users\\b\\Desktop", L"Anna", L"B", L"C:\\Users\\Anna\\Desktop"},
        {L"C:\\Users\\B\\Desktop", L"b", L"B", L"C:\\Users\\B\\Desktop"},
        {L"C:\\Users\\B\\Desktop", L"", L"B", L"C:\\Users\\B\\Desktop"},
        {L"C:\\Users\\Bob\\Desktop", L"A", L"B", L"C:\\Users\\Bob\\Desktop"},
        {L"C:\\B\\Users\\B\\Desktop", L"A", L"B", L"C:\\A\\Users\\A\\Desktop"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RewriteForLoggedOnUser(c.desktop, c.logUser, c.procUser), c.expected) << ToUtf8(c.desktop);
}

TEST(SaveFlow, GetFilesGoesLevelByLevelWithHiddenFiles)
{
    TempDir dir;
    WriteBytes(dir.Path() + L"a\\deep\\x.txt", "x");
    WriteBytes(dir.Path() + L"top.txt", "t");
    WriteBytes(dir.Path() + L"a\\mid.txt", "m");
    WriteBytes(dir.Path() + L"h.txt", "h");
    SetFileAttributesW((dir.Path() + L"h.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    LineList files;
    GetFiles(dir.Path(), files);
    ASSERT_EQ(files.size(), 4u);
    auto level = [&](const std::wstring& f) { return std::count(f.begin() + dir.Path().size(), f.end(), L'\\'); };
    for (size_t i = 1; i < files.size(); ++i) EXPECT_LE(level(files[i - 1]), level(files[i]));
    EXPECT_EQ(files.back(), dir.Path() + L"a\\deep\\x.txt");
}

TEST(SaveFlow, CopyFolderReportsWhetherEveryFileArrived)
{
    TempDir dir;
    std::wstring src = dir.Path() + L"GetInfoDir\\";
    WriteBytes(src + L"Pelmo_Debug_Info.txt", "report");
    WriteBytes(src + L"AppPath\\Antivirus\\versions.dat", "v");
    std::wstring dst = dir.Path() + L"Pelmo_Debug_Info\\";
    EXPECT_TRUE(CopyFolder(dst, src));
    EXPECT_EQ(ReadBytes(dst + L"Pelmo_Debug_Info.txt"), "report");
    EXPECT_EQ(ReadBytes(dst + L"AppPath\\Antivirus\\versions.dat"), "v");

    // A folder where one file should go: the copy is incomplete.
    std::wstring dst2 = dir.Path() + L"second\\";
    CreateDirectoryW(dst2.c_str(), nullptr);
    CreateDirectoryW((dst2 + L"Pelmo_Debug_Info.txt").c_str(), nullptr);
    EXPECT_FALSE(CopyFolder(dst2, src));
    EXPECT_EQ(ReadBytes(dst2 + L"AppPath\\Antivirus\\versions.dat"), "v");
}

TEST(CrashReporter, BugReportFileDropsWholeOldReports)
{
    TempDir dir;
    std::wstring path = dir.Path() + L"bugreport.txt";
    for (int i = 0; i < 300; ++i) {
        std::string report = BuildBugReport(nullptr, nullptr, L"report " + std::to_wstring(i));
        report += std::string(size_t(200 + i * 7), 'x') + "\r\n";
        AppendBugReport(path, report);
        std::string all = ReadBytes(path);
        ASSERT_LE(all.size(), kBugReportLimit) << i;
        ASSERT_EQ(all.rfind("==== Pelmo Helper bug report ====", 0), 0u) << i;
        ASSERT_NE(all.find("What: report " + std::to_string(i) + "\r\n"), std::string::npos) << i;
    }
    std::string all = ReadBytes(path);
    EXPECT_EQ(all.find("What: report 0\r\n"), std::string::npos);
    EXPECT_GT(all.size(), kBugReportLimit / 2);
}

TEST(CrashReporter, ReportNamesTheThreadAndItsStack)
{
    std::string r = BuildBugReport(nullptr, nullptr, L"what");
    EXPECT_NE(r.find("Thread: " + std::to_string(GetCurrentThreadId()) + "\r\n"), std::string::npos);
    EXPECT_NE(r.find("Stack:\r\n  0x"), std::string::npos);
    EXPECT_NE(r.find("pelmo_tests.exe+0x"), std::string::npos) << r;
}

__attribute__((noinline)) void Crash(volatile int* p) { *p = 1; }

TEST(CrashReporter, FaultGuardTurnsAHardwareFaultIntoAFailure)
{
    DWORD code = 0;
    volatile int* nowhere = nullptr;
    EXPECT_FALSE(RunFaultGuarded([&] { *nowhere = 5; }, code));
    EXPECT_EQ(code, DWORD(EXCEPTION_ACCESS_VIOLATION));
    volatile int zero = 0;
    code = 0;
    EXPECT_FALSE(RunFaultGuarded([&] { volatile int x = 10 / zero; (void)x; }, code));
    EXPECT_EQ(code, DWORD(EXCEPTION_INT_DIVIDE_BY_ZERO));
    // Nested guards, C++ exceptions passing through, and a clean run.
    bool innerFailed = false;
    EXPECT_TRUE(RunFaultGuarded([&] {
        DWORD inner = 0;
        innerFailed = !RunFaultGuarded([&] { Crash(nowhere); }, inner);
    }, code));
    EXPECT_TRUE(innerFailed);
    EXPECT_THROW(RunFaultGuarded([] { throw std::runtime_error("c++"); }, code), std::runtime_error);
    int ran = 0;
    EXPECT_TRUE(RunFaultGuarded([&] { ++ran; }, code));
    EXPECT_EQ(ran, 1);
    // Outside any guard the handler leaves faults alone (not exercised: it
    // would end the test program).
}

}  // namespace
}  // namespace pelmo
