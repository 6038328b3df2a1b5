#include "app/SaveFlow.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/CrashReporter.h"
#include "platform/Log.h"
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

// A fault unwinds its step: every destructor between the fault and the
// guard runs, so locks are released and settings restored.
TEST(CrashReporter, FaultInAStepRunsEveryCleanUp)
{
    static int* volatile nowhere = nullptr;
    struct Counter {
        int& n;
        ~Counter() { ++n; }
    };
    int cleaned = 0;
    std::mutex lock;
    DWORD code = 0;
    EXPECT_FALSE(RunFaultGuarded([&] {
        Counter outer{cleaned};
        std::lock_guard<std::mutex> hold(lock);
        [&] {
            Counter inner{cleaned};
            *nowhere = 1;
        }();
        ++cleaned;  // never reached
    }, code));
    EXPECT_EQ(code, DWORD(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(cleaned, 2);
    // The lock is free for another thread.
    bool taken = false;
    std::thread other([&] {
        if (lock.try_lock()) {
            taken = true;
            lock.unlock();
        }
    });
    other.join();
    EXPECT_TRUE(taken);
    // The log's own lock, held by a line being written, is released too.
    TempDir dir;
    SetLoggingEnabled(true);
    SetLogFileName(dir.Path() + L"fault.log");
    EXPECT_FALSE(RunFaultGuarded([&] { WhileLogLocked([] { *nowhere = 2; }); }, code));
    std::thread logger([] { WriteLog(L"after the fault"); });
    logger.join();
    SetLogFileName(L"");
    SetLoggingEnabled(false);
    const std::string log = ReadBytes(dir.Path() + L"fault.log");
    EXPECT_NE(log.find(reinterpret_cast<const char*>(L"after the fault"), 0, 30), std::string::npos);
    // A thrown fault names the code; the guard can be used again at once.
    try {
        FaultScope scope;
        *nowhere = 3;
        ADD_FAILURE() << "no fault";
    } catch (const HardwareFault& f) {
        EXPECT_EQ(f.Code(), DWORD(EXCEPTION_ACCESS_VIOLATION));
        EXPECT_NE(f.Message().find(L"pelmo_tests.exe+0x"), std::wstring::npos) << f.Message();
    }
}

// Faults that a system library raises and handles itself stay its own.
TEST(CrashReporter, FaultsInsideSystemLibrariesAreLeftToThem)
{
    DWORD code = 0;
    BOOL bad = FALSE;
    EXPECT_TRUE(RunFaultGuarded([&] { bad = IsBadReadPtr(reinterpret_cast<void*>(16), 4); }, code));
    EXPECT_TRUE(bad);
    EXPECT_TRUE(RunFaultGuarded([&] { bad = IsBadWritePtr(reinterpret_cast<void*>(32), 4); }, code));
    EXPECT_TRUE(bad);
}

}  // namespace
}  // namespace pelmo
