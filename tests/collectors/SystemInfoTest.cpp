#include "collectors/SystemInfo.h"

#include <gtest/gtest.h>

#include "platform/Session.h"

namespace pelmo {
namespace {

class FakeOs : public IOsInfoSource {
public:
    OsVersion version{true, 6, 1, 7601, 2, VER_NT_WORKSTATION, L"Service Pack 1"};
    OsMetrics metrics{false, false, false, false, true};
    bool computerOk = true;
    MemoryStatus memory{8589934592ull, 8589934591ull, 4294836224ull, 4000000000ull, 0, 17179869184ull, 1048575};
    std::wstring systemDir = L"C:\\Windows\\system32";
    bool diskOk = true;
    int64_t total = 500107862016ll, freeBytes = 107374182400ll;
    std::wstring logUser = L"anna", procUser = L"anna";
    DWORD level = 0x2000;

    OsVersion Version() const override { return version; }
    OsMetrics Metrics() const override { return metrics; }
    std::wstring SystemLanguage() const override { return L"English"; }
    bool ComputerName(std::wstring& n) const override
    {
        n = L"DESKTOP-PELMO";
        return computerOk;
    }
    bool Wow64() const override { return true; }
    MemoryStatus Memory() const override { return memory; }
    std::wstring SystemDir() const override { return systemDir; }
    bool DiskSpace(const std::wstring& drive, int64_t& t, int64_t& f) const override
    {
        EXPECT_EQ(drive, L"C:");
        t = total;
        f = freeBytes;
        return diskOk;
    }
    std::wstring LoggedOnUser() const override { return logUser; }
    std::wstring ProcessUser() const override { return procUser; }
    DWORD ShellIntegrityLevel(const std::wstring& user) const override { return user == logUser ? level : 0; }
    bool DpiAware() const override { return false; }
    int ScreenWidth() const override { return 1920; }
    int ScreenHeight() const override { return 1080; }
    int AppliedDpi() const override { return 96; }
    int LogPixelsY() const override { return 96; }
};

TEST(SystemInfoDescription, NamesBySystem)
{
    struct Case {
        OsVersion v;
        OsMetrics m;
        const wchar_t* name;
    };
    const BYTE ws = VER_NT_WORKSTATION, srv = 3;
    const Case cases[] = {
        {{true, 6, 1, 7601, 2, ws, L"Service Pack 1"}, {false, false, false, false, true},
         L"Windows 7 x64 Service Pack 1"},
        {{true, 10, 0, 19045, 2, ws, L""}, {false, false, false, false, true}, L"Windows NT New x64"},
        {{true, 6, 3, 9600, 2, ws, L""}, {false, false, false, false, false}, L"Windows NT New"},
        {{true, 5, 1, 2600, 2, ws, L"Service Pack 3"}, {false, false, false, true, false},
         L"Windows XP Media Center Service Pack 3"},
        {{true, 6, 1, 7601, 2, ws, L""}, {false, false, false, true, false}, L"Windows 7"},
        {{true, 5, 2, 3790, 2, srv, L""}, {true, false, false, false, false}, L"Windows 2003 R2"},
        {{true, 5, 2, 3790, 2, ws, L""}, {false, false, false, false, true}, L"Windows XP x64"},
        {{true, 6, 0, 6002, 2, srv, L""}, {false, false, false, false, false}, L"Windows 2008"},
        {{true, 6, 1, 7601, 2, srv, L""}, {false, false, false, false, false}, L"Windows 2008 R2"},
        {{true, 6, 0, 6000, 2, ws, L""}, {false, true, true, false, false}, L"Windows Vista Tablet PC Starter"},
        {{true, 4, 0, 1381, 2, ws, L""}, {false, false, false, true, false}, L"Windows NT 4 Media Center"},
        {{true, 3, 51, 1057, 2, ws, L""}, {false, false, false, false, false}, L"Windows NT 3"},
        {{true, 5, 0, 2195, 2, ws, L""}, {false, false, false, false, false}, L"Windows 2000"},
    };
    for (const auto& c : cases) EXPECT_EQ(OSDescription(c.v, c.m), c.name) << ToUtf8(c.name);
}

TEST(SystemInfoBlock, LinesInOrderWithTheirFormats)
{
    FakeOs os;
    LineList b = BuildOSInfoLines(os, L'.');
    const LineList expected = {
        std::wstring(81, L'*'),
        L"OS Name:\tWindows 7 x64 Service Pack 1",
        L"OS Version:\t6.1.7601",
        L"SP Version:\tService Pack 1",
        L"system lan:\tEnglish",
        L"ComputerName:\tDESKTOP-PELMO",
        L"OS Type:\t64bit",
        L"Memory Size:\t8192 MB",
        L"Free Size:\t8191 MB",
        L"VMemory Size:\t4095 MB",
        L"VFree Size:\t3814 MB",
        L"VFreeExt Size:\t0 MB",
        L"PF Size:\t16384 MB",
        L"PF Free:\t0 MB",
        L"System Drive:\tC:",
        L"Total Space:\t465.76 GB",
        L"Free Space:\t100.00 GB",
        L"Cur Users:\tanna[anna]",
        L"User Level:\t2000",
        L"IsProcessDPIAware:\tFalse",
        L"SM_CXSCREEN:\t1920",
        L"SM_CYSCREEN:\t1080",
        L"System DPI:\t96",
        L"LOGPIXELSY:\t96",
        L"Screen param:\t1920*1080",
        L"",
    };
    EXPECT_EQ(b, expected);
    EXPECT_EQ(BuildOSInfoLines(os, L',')[15], L"Total Space:\t465,76 GB");
}

TEST(SystemInfoBlock, LinesLeftOutAndEmptyParts)
{
    FakeOs os;
    os.computerOk = false;
    os.diskOk = false;
    os.logUser = L"";
    os.procUser = L"";
    os.level = 0;
    os.version = OsVersion{};
    LineList b = BuildOSInfoLines(os, L'.');
    auto has = [&](const std::wstring& prefix) {
        return std::any_of(b.begin(), b.end(), [&](const std::wstring& l) { return l.rfind(prefix, 0) == 0; });
    };
    EXPECT_FALSE(has(L"ComputerName:"));
    EXPECT_TRUE(has(L"System Drive:\tC:"));
    EXPECT_FALSE(has(L"Total Space:"));
    EXPECT_FALSE(has(L"Free Space:"));
    EXPECT_TRUE(has(L"Cur Users:\t[]"));
    EXPECT_TRUE(has(L"User Level:\t0000"));
    EXPECT_TRUE(has(L"OS Version:\t0.0.0"));
    EXPECT_TRUE(has(L"SP Version:\t"));
    EXPECT_EQ(b.back(), L"");
    os.systemDir = L"";
    b = BuildOSInfoLines(os, L'.');
    EXPECT_FALSE(has(L"System Drive:"));
    EXPECT_EQ(b.size(), 26u - 1u - 3u);  // no computer name, no drive lines
}

TEST(SystemInfoReal, BlockOfThisMachine)
{
    LineList list{L"before"};
    GetOSInfoEx(list);
    ASSERT_GE(list.size(), 20u);
    EXPECT_EQ(list[0], L"before");
    EXPECT_EQ(list[1], std::wstring(81, L'*'));
    EXPECT_EQ(list[2].rfind(L"OS Name:\tWindows", 0), 0u) << ToUtf8(list[2]);
    EXPECT_EQ(list.back(), L"");
    BOOL wow = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow);
    EXPECT_NE(std::find(list.begin(), list.end(), std::wstring(L"OS Type:\t") + (wow ? L"64bit" : L"32bit")),
              list.end());
    const std::wstring users = L"Cur Users:\t" + GetLoggedOnUserName() + L"[" +
                               GetProcessUserName(GetCurrentProcessId()) + L"]";
    EXPECT_NE(std::find(list.begin(), list.end(), users), list.end());
    auto line = std::find_if(list.begin(), list.end(), [](const std::wstring& l) { return l.rfind(L"Total Space:\t", 0) == 0; });
    ASSERT_NE(line, list.end());
    EXPECT_NE(line->find(UserDecimalSeparator()), std::wstring::npos);
}

}  // namespace
}  // namespace pelmo
