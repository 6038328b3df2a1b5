#include "app/uInfoMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "app/Archive.h"
#include "platform/Log.h"
#include "platform/Handles.h"
#include "tests/fakes/FakeSteps.h"
#include "tests/fakes/TempDir.h"

namespace pelmo::test {

std::mutex g_callsLock;

void FakeSteps::Hit(const std::wstring& name)
{
    {
        std::lock_guard<std::mutex> lock(g_callsLock);
        calls.push_back(name);
    }
    if (failing.count(name)) throw Error(name + L" failed on purpose");
}

void FakeSteps::WriteSystemInfoFile(const std::wstring& gather)
{
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = true; }
    } done{sideFinished};
    Hit(L"WriteSystemInfoFile");
    Sleep(200);  // slower than the rows, as the real command is
    SaveLineList({L"Host Name: TEST"}, gather + L"SystemInfo.txt");
}

int FakeSteps::ZipGatherFolder(const std::wstring& gather, const std::wstring& archive)
{
    Hit(L"ZipGatherFolder");
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((gather + L"*").c_str(), &fd));
    if (find) {
        do {
            if (fd.cFileName[0] != L'.') filesAtZipTime.push_back(fd.cFileName);
        } while (FindNextFileW(find.get(), &fd));
    }
    std::sort(filesAtZipTime.begin(), filesAtZipTime.end());
    WriteBytes(archive, "PK");
    WriteLog(L"zip:fake");
    return 1;
}

namespace {

std::vector<std::wstring> LogTexts(const std::wstring& path)
{
    std::string bytes = ReadBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::vector<std::wstring> out;
    size_t pos = 0;
    for (;;) {
        size_t b = text.find(L">>|", pos);
        if (b == std::wstring::npos) break;
        size_t e = text.find(L"|<<", b);
        out.push_back(text.substr(b + 3, e - b - 3));
        pos = e + 3;
    }
    return out;
}

// A window of this thread that collects the progress messages posted to it.
struct ProgressWindow {
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ~ProgressWindow() { DestroyWindow(hwnd); }
    std::vector<std::pair<WPARAM, LPARAM>> Drain()
    {
        std::vector<std::pair<WPARAM, LPARAM>> got;
        MSG m;
        while (PeekMessageW(&m, hwnd, WM_GATHER_PROGRESS, WM_GATHER_PROGRESS, PM_REMOVE))
            got.emplace_back(m.wParam, m.lParam);
        return got;
    }
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLoggingEnabled(true);
        logPath = dir.Path() + L"run.log";
        SetLogFileName(logPath);
        steps.tempFolder = dir.Path();
    }
    void TearDown() override
    {
        SetLogFileName(L"");
        SetLoggingEnabled(false);
    }
    std::vector<std::wstring> Run()
    {
        archive = DoGatherInfo(window.hwnd, 0, steps);
        return LogTexts(logPath);
    }
    std::wstring Gather() const { return dir.Path() + L"GetInfoDir\\"; }

    TempDir dir;
    std::wstring logPath;
    FakeSteps steps;
    ProgressWindow window;
    std::wstring archive;
};

const std::vector<std::wstring> kScopeAllRows = {
    L"Pelmo_Routine_New.GetFileVersion(GetModuleName(HInstance), 3)) Succ",
    L"DateTimeToStr(Now) Succ",
    L"GetOSInfoEx Succ",
    L"GetProcessListEx Succ",
    L"EnumServices Succ",
    L"GetBHOItemListEx Succ",
    L"GetAutorunListx Succ",
    L"GetWSCInfo Succ",
    L"GetAppFileInfo Succ",
    L"DoClllectEx Succ",
    L"DoClllectDNS Succ",
    L"MakeFilesInfo Succ",
    L"LoadLog Succs",
    L"LoadOtherInfo Succ",
    L"LoadOnlyForTrevioTool Succ",
    L"EnumTasks Succ",
    L"GenMLVLogFiles Succ",
    L"GenNeedFileByBDError Succ",
    L"GenGDXLogFiles Succ",
    L"GenNeedFileByBDError Succ",
    L"WaitGetSystemInfo Succ",
};

TEST_F(DriverTest, ScopeAllLogsEveryRowInOrderAndPostsSeventeenSteps)
{
    std::vector<std::wstring> log = Run();
    const std::wstring gather = Gather();
    const std::wstring zip = dir.Path() + L"Pelmo_Debug_Info.zip";
    EXPECT_EQ(archive, zip);
    std::vector<std::wstring> expected = {
        L"DoGatherInfo strart",
        L"TempPath:" + gather + L", tmpZipDir:" + dir.Path() + L", Result:" + zip,
        L"CreateThread Succ",
    };
    expected.insert(expected.end(), kScopeAllRows.begin(), kScopeAllRows.end());
    expected.push_back(L"zip:fake");
    expected.push_back(L"ZipFile Succ");
    expected.push_back(L"DoGatherInfo End: " + zip);
    EXPECT_EQ(log, expected);

    auto messages = window.Drain();
    ASSERT_EQ(messages.size(), 18u);
    EXPECT_EQ(messages[0], (std::pair<WPARAM, LPARAM>(0, 20)));
    for (int i = 1; i <= 17; ++i) EXPECT_EQ(messages[i], (std::pair<WPARAM, LPARAM>(1, i)));

    // The stand-alone run keeps its gather folder with the four report files.
    std::vector<std::wstring> files = {L"FilesInfo.txt", L"Pelmo_Debug_Info.txt", L"SystemInfo.txt",
                                       L"dnsGetinfo.txt", L"uninstall.txt"};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(steps.filesAtZipTime, files);
    EXPECT_TRUE(DirectoryExists(gather));
    EXPECT_EQ(steps.sections, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(DriverTest, MainReportHoldsTheRowsLinesInOrder)
{
    Run();
    std::string bytes = ReadBytes(Gather() + L"Pelmo_Debug_Info.txt");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::wstring stars(81, L'*');
    size_t dateEnd = text.find(L"\r\n", text.find(L"Date:"));
    ASSERT_EQ(text.rfind(L"Version:9.0.0.1\r\nDate:", 0), 0u);
    EXPECT_EQ(text.substr(dateEnd), L"\r\nos\r\nproc\r\nsvc\r\nbho\r\nrun1\r\nrun2\r\n" + stars +
                                        L"\r\nwsc\r\nfiles\r\n");
    const std::wstring un = L"\uFEFFWindows Registry Editor Version 5.00\r\n[uninstall]\r\n";
    EXPECT_EQ(ReadBytes(Gather() + L"uninstall.txt"),
              std::string(reinterpret_cast<const char*>(un.data()), un.size() * 2));
}

TEST_F(DriverTest, FailingStepLogsExceptThenSuccAndTheRunGoesOn)
{
    steps.failing = {L"GetProcessListEx", L"LoadLog", L"ZipGatherFolder", L"WriteSystemInfoFile"};
    std::vector<std::wstring> log = Run();
    auto at = [&](const std::wstring& s) { return std::find(log.begin(), log.end(), s) - log.begin(); };
    EXPECT_EQ(at(L"GetProcessListEx Succ"), at(L"GetProcessListEx Except") + 1);
    EXPECT_EQ(at(L"LoadLog Succs"), at(L"LoadLog Except") + 1);
    EXPECT_EQ(at(L"ZipFile Succ"), at(L"ZipFile except") + 1);
    EXPECT_LT(at(L"ZipFile Succ"), ptrdiff_t(log.size()));
    // The side task's failure stays inside the side task.
    EXPECT_EQ(std::count(log.begin(), log.end(), L"WaitGetSystemInfo Except"), 0);
    EXPECT_EQ(log.back(), L"DoGatherInfo End: " + archive);
    EXPECT_EQ(window.Drain().size(), 18u);
}

TEST_F(DriverTest, OldGatherFolderIsDeletedAndOldArchiveIsLoggedBeforePacking)
{
    WriteBytes(Gather() + L"stale.txt", "old");
    WriteBytes(Gather() + L"sub\\stale2.txt", "old");
    WriteBytes(dir.Path() + L"Pelmo_Debug_Info.zip", "old archive");
    std::vector<std::wstring> log = Run();
    EXPECT_EQ(std::count(steps.filesAtZipTime.begin(), steps.filesAtZipTime.end(), L"stale.txt"), 0);
    EXPECT_EQ(std::count(steps.filesAtZipTime.begin(), steps.filesAtZipTime.end(), L"sub"), 0);
    auto at = [&](const std::wstring& s) { return std::find(log.begin(), log.end(), s) - log.begin(); };
    ptrdiff_t del = at(archive + L" Exist and del");
    EXPECT_EQ(del, at(L"WaitGetSystemInfo Succ") + 1);
    EXPECT_EQ(at(L"zip:fake"), del + 1);
    EXPECT_EQ(ReadBytes(archive), "PK");
}

TEST_F(DriverTest, AntiMalwareScopeRunsOnlyItsRowsAndRemovesTheGatherFolder)
{
    steps.scope = kScopeAntiMalware;
    std::vector<std::wstring> log = Run();
    EXPECT_EQ(std::count(log.begin(), log.end(), L"GenMLVLogFiles Succ"), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"LoadOtherInfo Succ"), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"LoadOnlyForTrevioTool Succ"), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"GenGDXLogFiles Succ"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"GenNeedFileByBDError Succ"), 1);
    ASSERT_EQ(steps.bdErrorCalls.size(), 1u);
    EXPECT_EQ(steps.bdErrorCalls[0].first, L"C:\\Gardex\\Antivirus\\");
    EXPECT_EQ(steps.bdErrorCalls[0].second, Gather() + L"GDX\\AppPath\\Antivirus\\");
    EXPECT_EQ(steps.sections, (std::vector<int>{4}));
    EXPECT_FALSE(DirectoryExists(Gather()));
    EXPECT_EQ(window.Drain().size(), 1u + 15u);
}

TEST_F(DriverTest, EmptyInstallLocationGivesAntivirusOnTheCurrentDrive)
{
    steps.scope = kScopeMain;
    Run();
    ASSERT_EQ(steps.bdErrorCalls.size(), 1u);
    EXPECT_EQ(steps.bdErrorCalls[0].first, L"\\Antivirus\\");
    EXPECT_EQ(steps.bdErrorCalls[0].second, Gather() + L"AppPath\\Antivirus\\");
    EXPECT_EQ(steps.sections, (std::vector<int>{1, 2, 3}));
}

TEST_F(DriverTest, RemovalAndDefragScopesRunTheCommonRowsOnly)
{
    for (int scope : {kScopeRemoval, kScopeDefrag}) {
        steps.scope = scope;
        steps.sections.clear();
        steps.calls.clear();
        Run();
        EXPECT_TRUE(steps.sections.empty());
        EXPECT_EQ(std::count(steps.calls.begin(), steps.calls.end(), L"GenNeedFileByBDError"), 0);
        EXPECT_EQ(std::count(steps.calls.begin(), steps.calls.end(), L"LoadLog"), 1);
        EXPECT_EQ(window.Drain().size(), 1u + 14u);
    }
}

// Packs with the real writer, whose side file is damaged before its check.
struct DamagedArchiveSteps : FakeSteps {
    int ZipGatherFolder(const std::wstring& gather, const std::wstring& archive) override
    {
        zip::WriterOptions options;
        options.beforeCheck = [](const std::wstring& side) {
            std::string bytes = ReadBytes(side);
            const size_t nameLength = uint8_t(bytes[26]) | (uint8_t(bytes[27]) << 8);
            for (int i = 0; i < 4; ++i) bytes[30 + nameLength + i] = char(0xFF);
            WriteBytes(side, bytes);
        };
        return pelmo::ZipGatherFolder(gather, archive, options);
    }
};

TEST_F(DriverTest, AnArchiveThatFailsItsCheckIsNotOffered)
{
    DamagedArchiveSteps damaged;
    damaged.tempFolder = dir.Path();
    archive = DoGatherInfo(window.hwnd, 0, damaged);
    std::vector<std::wstring> log = LogTexts(logPath);
    EXPECT_FALSE(FileExists(archive));
    EXPECT_FALSE(FileExists(archive + L".part"));
    auto check = std::find_if(log.begin(), log.end(),
                              [](const std::wstring& l) { return l.rfind(L"Archive check failed at ", 0) == 0; });
    ASSERT_NE(check, log.end());
    EXPECT_NE(check->find(L".txt: damaged deflate data"), std::wstring::npos) << ToUtf8(*check);
    ASSERT_NE(check + 1, log.end());
    EXPECT_EQ(*(check + 1), L"ZipFile except");
}

TEST_F(DriverTest, UnwritableGatherFolderEndsTheRunThroughTheOuterGuard)
{
    // A file named GetInfoDir blocks the folder; the fallback beside the test
    // program does not exist, so the main report cannot be written.
    WriteBytes(dir.Path() + L"GetInfoDir", "blocker");
    ASSERT_FALSE(DirectoryExists(ApplicationFolder() + L"GetInfoDir"));
    std::vector<std::wstring> log = Run();
    EXPECT_EQ(archive, ApplicationFolder() + L"Pelmo_Debug_Info.zip");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], L"GetAppFileInfo Succ");
    EXPECT_EQ(log[log.size() - 2], L"DoGatherInfo Except");
    EXPECT_EQ(log.back(), L"DoGatherInfo End: " + archive);
    EXPECT_FALSE(FileExists(archive));
    // The side task has ended before the call returns: it uses this call's steps.
    EXPECT_TRUE(steps.sideFinished);
}

TEST(ScopeRules, ModuleAndCommandLine)
{
    struct Case {
        const wchar_t* module;
        std::vector<std::wstring> args;
        bool ultimate;
        int scope;
    };
    const Case cases[] = {
        {L"C:\\x\\PelmoHelper.exe", {L"/Product", L"Pelmo Gardex"}, false, 0},
        {L"C:\\x\\PelmoHelper.dll", {}, false, 0},
        {L"C:\\x\\PelmoHelper.DLL", {L"/LOG"}, false, 1},
        {L"C:\\x\\PelmoHelper.dll", {L"/LOG"}, true, 1},
        {L"C:\\x\\PelmoHelper.dll", {L"/product", L"pelmo gardex"}, false, 2},
        {L"C:\\x\\PelmoHelper.dll", {L"/Product", L"Pelmo Sweeper"}, false, 3},
        {L"C:\\x\\PelmoHelper.dll", {L"/Product", L"TESSARO", L"/Product", L"Pelmo Gardex"}, false, 4},
        {L"C:\\x\\PelmoHelper.dll", {L"/Product"}, false, 1},
        {L"C:\\x\\PelmoHelper.dll", {L"/Product", L"Other"}, false, 1},
        {L"C:\\x\\PelmoHelper.dll", {L"Pelmo Gardex"}, false, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProductScopeFor(c.module, c.args, c.ultimate), c.scope)
            << ToUtf8(c.module) << " " << (c.args.empty() ? "" : ToUtf8(c.args.back()));
    EXPECT_EQ(ProductFromArguments({L"x"}, true), 2);
    EXPECT_EQ(ProductFromArguments({L"x"}, false), 1);
    EXPECT_EQ(ProductFromArguments({}, true), 0);
}

TEST(ScopeRules, SaveLineListFormatAndFailure)
{
    TempDir dir;
    SaveLineList({}, dir.Path() + L"empty.txt");
    EXPECT_EQ(ReadBytes(dir.Path() + L"empty.txt"), "\xFF\xFE");
    SaveLineList({L"a", L"b\r\nc", L"\u00e9"}, dir.Path() + L"l.txt");
    const wchar_t expected[] = L"\uFEFFa\r\nb\r\nc\r\n\u00e9\r\n";
    EXPECT_EQ(ReadBytes(dir.Path() + L"l.txt"),
              std::string(reinterpret_cast<const char*>(expected), (sizeof(expected) - 2)));
    EXPECT_THROW(SaveLineList({L"x"}, dir.Path() + L"missing\\l.txt"), Error);
}

TEST(ScopeRules, RemoveFolderDeletesTreeWithReadOnlyAndHiddenFiles)
{
    TempDir dir;
    std::wstring root = dir.Path() + L"tree\\";
    WriteBytes(root + L"a.txt", "a");
    WriteBytes(root + L"sub\\deep\\b.txt", "b");
    SetFileAttributesW((root + L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(RemoveFolder(root));
    EXPECT_FALSE(DirectoryExists(root));
    EXPECT_FALSE(RemoveFolder(root));
}

TEST(ScopeRules, RemoveFolderNeverFollowsALink)
{
    TempDir dir;
    std::wstring outside = dir.Path() + L"outside\\";
    WriteBytes(outside + L"keep.txt", "must survive");
    std::wstring gather = dir.Path() + L"GetInfoDir\\";
    WriteBytes(gather + L"report.txt", "x");
    if (!MakeDirectoryLink(gather + L"planted", ExcludeTrailingBackslash(outside)))
        GTEST_SKIP() << "this platform cannot make directory links";
    // The folder holding the link is moved aside whole, the link untouched.
    EXPECT_TRUE(RemoveFolder(gather));
    EXPECT_FALSE(DirectoryExists(gather));
    EXPECT_TRUE(FileExists(outside + L"keep.txt"));

    // A gather folder that is itself a link is left alone.
    ASSERT_TRUE(MakeDirectoryLink(ExcludeTrailingBackslash(gather), ExcludeTrailingBackslash(outside)));
    EXPECT_FALSE(RemoveFolder(gather));
    EXPECT_TRUE(FileExists(outside + L"keep.txt"));
}

}  // namespace
}  // namespace pelmo::test

namespace pelmo {
namespace {

using test::FakeSteps;
using test::TempDir;
using test::WriteBytes;

// The gather folder is this run's own: made anew, and held so that nobody
// can rename it or put a link in its place while the run works in it.
class HoldingSteps : public FakeSteps {
public:
    DWORD renameError = 0;
    void LoadLog(const std::wstring& gather) override
    {
        const std::wstring dir = ExcludeTrailingBackslash(gather);
        if (MoveFileExW(dir.c_str(), (dir + L"-swapped").c_str(), 0)) {
            MoveFileExW((dir + L"-swapped").c_str(), dir.c_str(), 0);
        } else {
            renameError = GetLastError();
        }
        FakeSteps::LoadLog(gather);
    }
};

TEST(DriverOwnership, TheGatherFolderCannotBeSwappedDuringTheRun)
{
    TempDir dir;
    HoldingSteps steps;
    steps.tempFolder = dir.Path();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread has a queue from here on
    const GatherResult result = GatherReport(nullptr, 0, steps);
    EXPECT_EQ(steps.renameError, DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(result.archiveMade);
    // Without a window nothing was posted (a null window means this thread's queue).
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_GATHER_PROGRESS, WM_GATHER_PROGRESS, PM_REMOVE));
    // Released at the end: the save flow may remove it.
    EXPECT_TRUE(RemoveFolder(dir.Path() + L"GetInfoDir\\"));
}

// An old archive that another process holds is never taken for this run's:
// the new one takes a free name beside it, and the result says so.
TEST(DriverOwnership, AHeldOldArchiveGivesTheNewOneAFreeName)
{
    TempDir dir;
    FakeSteps steps;
    steps.tempFolder = dir.Path();
    WriteBytes(dir.Path() + L"Pelmo_Debug_Info.zip", "old");
    UniqueFile held(CreateFileW((dir.Path() + L"Pelmo_Debug_Info.zip").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    GatherResult result = GatherReport(nullptr, 0, steps);
    EXPECT_TRUE(result.archiveMade);
    EXPECT_EQ(result.archivePath, dir.Path() + L"Pelmo_Debug_Info (2).zip");
    EXPECT_EQ(test::ReadBytes(result.archivePath), "PK");
    held.reset();
    // A packing that fails makes nothing, whatever lies at the path.
    steps.failing = {L"ZipGatherFolder"};
    result = GatherReport(nullptr, 0, steps);
    EXPECT_FALSE(result.archiveMade);
}

// Without a temporary folder the platform can report, the gather folder is
// the program's own fallback, never one relative to the current folder.
TEST(DriverOwnership, NoTemporaryFolderUsesTheFallbackBesideTheProgram)
{
    FakeSteps steps;
    steps.tempFolder = L"";
    const GatherResult result = GatherReport(nullptr, 0, steps);
    EXPECT_EQ(result.archivePath, ApplicationFolder() + L"Pelmo_Debug_Info.zip");
    EXPECT_FALSE(result.archiveMade);  // the fallback folder is not made, so the report cannot be written
}

// A hardware fault in the side task ends only the side task.
class FaultingSideTask : public FakeSteps {
public:
    void WriteSystemInfoFile(const std::wstring&) override
    {
        static int* volatile nowhere = nullptr;
        *nowhere = 7;
    }
};

TEST(DriverOwnership, AFaultInTheSideTaskCostsOnlyItsFile)
{
    TempDir dir;
    FaultingSideTask steps;
    steps.tempFolder = dir.Path();
    const GatherResult result = GatherReport(nullptr, 0, steps);
    EXPECT_TRUE(result.archiveMade);
    EXPECT_FALSE(FileExists(dir.Path() + L"GetInfoDir\\SystemInfo.txt"));
    EXPECT_TRUE(FileExists(dir.Path() + L"GetInfoDir\\Pelmo_Debug_Info.txt"));
}

}  // namespace
}  // namespace pelmo
