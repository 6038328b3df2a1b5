#include "collectors/ProcessReport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/Session.h"

namespace pelmo {
namespace {

TEST(ProcessReportText, RuntimeSizePriorityAndCpu)
{
    struct RuntimeCase {
        uint64_t ms;
        const wchar_t* text;
    };
    const RuntimeCase runtimes[] = {
        {0, L"0 ms"},          {999, L"999 ms"},         {1500, L"1,50 s"},        {59999, L"59,99 s"},
        {61000, L"1:01 min"},  {3599999, L"59:59 min"},  {3725000, L"1:02 h"},     {3456000000ull, L"960:00 h"},
    };
    for (const auto& c : runtimes) EXPECT_EQ(RuntimeText(c.ms, L','), c.text) << c.ms;
    EXPECT_EQ(RuntimeText(1500, L'.'), L"1.50 s");
    // A process started 40 days ago: the whole elapsed time, not 9 days.
    const uint64_t day = 864000000000ull;  // 100 ns units
    EXPECT_EQ(RuntimeText(RuntimeMs(1000 * day, 1040 * day), L','), L"960:00 h");
    EXPECT_EQ(RuntimeMs(5 * day, 4 * day), 86400000u);

    struct SizeCase {
        int64_t bytes;
        const wchar_t* text;
    };
    const SizeCase sizes[] = {
        {0, L"0 Bytes"},           {1023, L"1023 Bytes"},         {1024, L"1,00 KB"},
        {1536, L"1,50 KB"},        {1048576, L"1,00 MB"},         {500107862016ll, L"465,76 GB"},
        {-2048, L"2,00 KB"},       {1073741824ll, L"1,00 GB"},
    };
    for (const auto& c : sizes) EXPECT_EQ(SizeText(c.bytes, L','), c.text) << c.bytes;

    struct PriorityCase {
        int32_t p;
        const wchar_t* text;
    };
    const PriorityCase priorities[] = {{32, L"normal"},   {64, L"idle"},      {128, L"high"},
                                       {256, L"realtime"}, {16384, L"normal-"}, {32768, L"normal+"},
                                       {0, L""},          {-1, L""},          {0x4001, L"$4001"}};
    for (const auto& c : priorities) EXPECT_EQ(PriorityClassText(c.p), c.text) << c.p;

    EXPECT_EQ(CpuText(100, 100, 1000), L"");  // no CPU time: no text at all
    EXPECT_EQ(CpuText(100, 104, 1000), L"");  // rounds to 0 %
    EXPECT_EQ(CpuText(100, 125, 1000), L",2%");  // 2.5 rounds to even
    EXPECT_EQ(CpuText(100, 135, 1000), L",4%");
    EXPECT_EQ(CpuText(0, 1500, 1000), L",150%");  // several processors
    EXPECT_EQ(CpuText(0, 10, 0), L"");

    VirtualMemoryFigures f{1572864, 2147483648ull, 524287, 4294967296ull, 107374182400ll, 500107862016ll};
    EXPECT_EQ(VirtualMemoryText(f, L','),
              L"2/2048 MB(free/total), PageSize:0/4096 MB(free/total), SysDrv:100,00 GB/465,76 GB");
}

TEST(ProcessReportText, TableColumnsAndPadding)
{
    ProcessRecord idle;
    idle.name = L"Idle";
    idle.threads = 2;
    ProcessRecord explorer;
    explorer.name = L"explorer.exe";
    explorer.folder = L"C:\\Windows";
    explorer.pid = 0x1a2b;
    explorer.priority = 32;
    explorer.gdi = 120;
    explorer.user = 45;
    explorer.handles = 1234;
    explorer.threads = 56;
    explorer.mem = 80;
    explorer.vmem = 40;
    explorer.runtime = 3725000;
    explorer.cpuText = L",3%";
    explorer.io = 17;
    const std::wstring text = FormatProcessReport({idle, explorer}, L"VM", L"heap", L',');
    const std::wstring expected =
        L"pid, name       gdi,u, hnd,thd| io|mem,  vmem| runtime, cpu\r\n"
        L"0000 Idle         0   0  0   , 2| -1|   0M,  0M| ,0 ms            \r\n"
        L"1a2b explorer.exe 120 45 1234,56| 17|  80M, 40M| normal,1:02 h,3% C:\\Windows\r\n"
        L"\r\n"
        L"Virtual memory:VM\r\n"
        L"GlobalAtomInfo:\r\n"
        L"DesktopHeap:heap\r\n";
    EXPECT_EQ(text, expected);

    // A process outside session 0 brings the session column.
    explorer.session = 12;
    const std::wstring withSession = FormatProcessReport({idle, explorer}, L"", L"", L',');
    EXPECT_EQ(withSession.substr(0, withSession.find(L"\r\n")),
              L"pid, name       sid gdi,u, hnd,thd| io|mem,  vmem| runtime, cpu");
    EXPECT_NE(withSession.find(L"0000 Idle         0  0   0  "), std::wstring::npos);
    EXPECT_NE(withSession.find(L"1a2b explorer.exe 12 120 45 "), std::wstring::npos);

    // No processes: the header (the name heading is never cut) and the trailer.
    EXPECT_EQ(FormatProcessReport({}, L"x", L"", L','),
              L"pid, namehnd,thd| io|mem,  vmem| runtime, cpu\r\n\r\nVirtual memory:x\r\nGlobalAtomInfo:\r\nDesktopHeap:\r\n");
}

TEST(ProcessReportText, ImagePaths)
{
    EXPECT_EQ(NormaliseImagePath(L"\\SystemRoot\\System32\\smss.exe", L"C:\\Windows\\system32"),
              L"C:\\Windows\\system32\\smss.exe");
    EXPECT_EQ(NormaliseImagePath(L"\\systemroot\\system32\\csrss.exe", L"C:\\W\\system32"), L"C:\\W\\system32\\csrss.exe");
    EXPECT_EQ(NormaliseImagePath(L"\\??\\C:\\Windows\\system32\\winlogon.exe", L"x"),
              L"C:\\Windows\\system32\\winlogon.exe");
    EXPECT_EQ(NormaliseImagePath(L"C:\\P\\a.exe", L"x"), L"C:\\P\\a.exe");
}

// The row of a process in a report text, by pid.
std::wstring RowOf(const std::wstring& text, DWORD pid)
{
    size_t pos = 0;
    while ((pos = text.find(L"\r\n", pos)) != std::wstring::npos) {
        pos += 2;
        std::wstring row = text.substr(pos, text.find(L"\r\n", pos) - pos);
        size_t blank = row.find(L' ');
        if (blank == 0 || blank == std::wstring::npos) continue;
        if (wcstoul(row.substr(0, blank).c_str(), nullptr, 16) == pid && row.find_first_not_of(L"0123456789abcdef") == blank)
            return row;
    }
    return {};
}

// Wine answers GetProcessTimes for another process with the caller's own
// times, so the CPU load of other processes cannot be shown there.
bool OnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(ProcessReportReal, BusyAndIdleProcesses)
{
    wchar_t sys[MAX_PATH] = {};
    GetSystemDirectoryW(sys, MAX_PATH);
    const std::wstring cmd = std::wstring(sys) + L"\\cmd.exe";
    // A child that loops for a long while, and one that never runs at all.
    std::wstring busyLine = L"\"" + cmd + L"\" /c for /L %i in (1,1,100000000) do @rem";
    std::wstring idleLine = L"\"" + cmd + L"\" /c exit";
    STARTUPINFOW si{sizeof(si)};
    PROCESS_INFORMATION busy{}, idle{};
    ASSERT_TRUE(CreateProcessW(nullptr, busyLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &si, &busy));
    ASSERT_TRUE(CreateProcessW(nullptr, idleLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                               nullptr, nullptr, &si, &idle));
    UniqueHandle busyProcess(busy.hProcess), busyThread(busy.hThread), idleProcess(idle.hProcess),
        idleThread(idle.hThread);
    Sleep(1500);  // past the busy child's start-up
    const std::wstring quiet = BuildProcessReport();

    // Then with a thread of this process spinning through both samples.
    std::atomic<bool> stop{false};
    std::thread spin([&] {
        volatile uint64_t x = 0;
        while (!stop) x = x + 1;
    });
    const std::wstring loaded = BuildProcessReport();
    stop = true;
    spin.join();
    TerminateProcess(busyProcess.get(), 0);
    TerminateProcess(idleProcess.get(), 0);

    const std::wstring busyRow = RowOf(quiet, busy.dwProcessId);
    const std::wstring idleRow = RowOf(quiet, idle.dwProcessId);
    ASSERT_FALSE(busyRow.empty());
    ASSERT_FALSE(idleRow.empty());
    EXPECT_NE(busyRow.find(L"cmd.exe"), std::wstring::npos);
    // A 32-bit program starts the 32-bit cmd.exe, from the WOW64 system folder.
    wchar_t wow[MAX_PATH] = {};
    const std::wstring cmdFolder = IsWow64() && GetSystemWow64DirectoryW(wow, MAX_PATH) ? std::wstring(wow) : std::wstring(sys);
    EXPECT_NE(ToLower(busyRow).find(ToLower(cmdFolder)), std::wstring::npos) << ToUtf8(busyRow);
    const std::wstring selfRow = RowOf(loaded, GetCurrentProcessId());
    EXPECT_NE(selfRow.find(L"%"), std::wstring::npos) << ToUtf8(selfRow);
    if (OnWine()) {
        std::printf("note: Wine gives every process the caller's CPU times; the children's loads are not checked\n");
    } else {
        EXPECT_NE(busyRow.find(L"%"), std::wstring::npos) << ToUtf8(busyRow);
        EXPECT_EQ(idleRow.find(L"%"), std::wstring::npos) << ToUtf8(idleRow);
    }
}

TEST(ProcessReportReal, ThisProcessIsInTheTable)
{
    LineList list;
    const DWORD start = GetTickCount();
    GetProcessListEx(list);
    EXPECT_GE(GetTickCount() - start, 990u);  // the two samples lie a second apart
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], std::wstring(81, L'*'));
    const std::wstring& text = list[1];
    EXPECT_EQ(text.rfind(L"pid, name", 0), 0u);
    const std::wstring self = ExtractFileName(ModuleFileName(nullptr));
    const std::wstring pid = Format(L"%lx ", GetCurrentProcessId());
    bool found = false;
    size_t pos = 0;
    while ((pos = text.find(L"\r\n", pos)) != std::wstring::npos) {
        pos += 2;
        std::wstring row = text.substr(pos, text.find(L"\r\n", pos) - pos);
        size_t firstBlank = row.find(L' ');
        if (firstBlank == std::wstring::npos) continue;
        std::wstring rowPid = row.substr(0, firstBlank);
        rowPid.erase(0, std::min(rowPid.find_first_not_of(L'0'), rowPid.size() - 1));
        if (rowPid + L" " == pid) {
            found = true;
            EXPECT_NE(row.find(self), std::wstring::npos) << ToUtf8(row);
            EXPECT_NE(row.find(L"normal,"), std::wstring::npos) << ToUtf8(row);
            EXPECT_NE(row.find(ExcludeTrailingBackslash(ExtractFilePath(ModuleFileName(nullptr)))), std::wstring::npos)
                << ToUtf8(row);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_NE(text.find(L"\r\n\r\nVirtual memory:"), std::wstring::npos);
    EXPECT_NE(text.find(L"\r\nGlobalAtomInfo:\r\nDesktopHeap:"), std::wstring::npos);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

}  // namespace
}  // namespace pelmo
