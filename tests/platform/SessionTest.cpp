#include "platform/Session.h"

#include <gtest/gtest.h>

#include <map>
#include <shlobj.h>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {
namespace {

TEST(SessionOSName, VersionTable)
{
    struct Case {
        DWORD major, minor, platform;
        BYTE type;
        WORD arch;
        const wchar_t* name;
    };
    const BYTE ws = VER_NT_WORKSTATION, srv = VER_NT_SERVER;
    const WORD x86 = PROCESSOR_ARCHITECTURE_INTEL, amd64 = PROCESSOR_ARCHITECTURE_AMD64;
    const Case cases[] = {
        {4, 0, 2, ws, x86, L"Windows NT"},   {3, 51, 2, ws, x86, L"Windows NT"},
        {5, 0, 2, ws, x86, L"Windows 2000"}, {5, 1, 2, ws, x86, L"Windows XP"},
        {5, 2, 2, ws, amd64, L"Windows XP"}, {5, 2, 2, ws, x86, L"Windows 2003 Server"},
        {5, 2, 2, srv, amd64, L"Windows 2003 Server"}, {5, 3, 2, ws, x86, L""},
        {6, 0, 2, ws, x86, L"Windows Vista"}, {6, 1, 2, ws, amd64, L"Windows 7"},
        {6, 2, 2, ws, x86, L"Windows 8"},    {6, 3, 2, ws, x86, L"Windows 8"},
        {6, 4, 2, ws, x86, L"Windows 10"},   {6, 5, 2, ws, x86, L""},
        {10, 0, 2, ws, amd64, L"Windows 10"}, {10, 0, 1, ws, x86, L""},
        {11, 0, 2, ws, x86, L""},
    };
    for (const auto& c : cases) {
        OsVersionRecord v{c.major, c.minor, c.platform, c.type, c.arch};
        EXPECT_EQ(OSNameFromVersion(v), c.name) << c.major << "." << c.minor << " arch " << c.arch;
    }
}

// Real-shaped shell and environment answers.
class FakeSource : public ISpecialFolderSource {
public:
    bool shellOk = false;
    std::wstring shell;
    std::map<std::wstring, std::wstring> env;
    std::wstring kernel32 = L"D:\\WINDOWS\\system32\\kernel32.dll";
    DWORD major = 10;
    bool wow = false;

    bool ShellFolder(HWND, int, std::wstring& path) const override
    {
        if (shellOk) path = shell;
        return shellOk;
    }
    std::wstring Environment(const wchar_t* name) const override
    {
        auto it = env.find(name);
        return it == env.end() ? L"" : it->second;
    }
    std::wstring Kernel32Path() const override { return kernel32; }
    DWORD OsMajorAtStart() const override { return major; }
    bool Wow64() const override { return wow; }
    std::wstring CurrentUser() const override { return L"anna"; }
};

TEST(SessionSpecialFolder, FallbacksByFolderAndWindowsVersion)
{
    struct Case {
        int csidl;
        DWORD major;
        bool wow;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {CSIDL_APPDATA, 10, false, L"D:\\Users\\anna\\AppData\\Roaming"},
        {CSIDL_APPDATA, 5, false, L"D:\\Documents and Settings\\anna\\Application Data"},
        {CSIDL_LOCAL_APPDATA, 6, false, L"D:\\Users\\anna\\AppData\\Local"},
        {CSIDL_LOCAL_APPDATA, 5, false, L"D:\\Documents and Settings\\anna\\Local Settings\\Application Data"},
        {CSIDL_COMMON_APPDATA, 6, false, L"D:\\ProgramData"},
        {CSIDL_COMMON_APPDATA, 5, false, L"D:\\Documents and Settings\\All Users\\Application Data"},
        {CSIDL_PROGRAM_FILES, 10, true, L"D:\\Program Files (x86)"},
        {CSIDL_PROGRAM_FILES, 10, false, L"D:\\Program Files"},
        {CSIDL_PROGRAM_FILES_COMMON, 5, true, L"D:\\Program Files (x86)\\Common Files"},
        {CSIDL_PROGRAM_FILES_COMMON, 10, false, L"D:\\Program Files\\Common Files"},
    };
    for (const auto& c : cases) {
        FakeSource src;
        src.major = c.major;
        src.wow = c.wow;
        for (bool bareDrive : {false, true}) {
            src.shellOk = bareDrive;  // "C:" counts as a failure too
            src.shell = L"C:";
            EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, c.csidl), c.expected) << c.csidl << " " << c.major;
        }
    }
}

TEST(SessionSpecialFolder, EnvironmentWinsOverTheDriveAndIsTrimmed)
{
    FakeSource src;
    src.wow = true;
    src.env[L"ProgramFiles(x86)"] = L"  E:\\PF86\t";
    src.env[L"ProgramFiles"] = L"E:\\PF";
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_PROGRAM_FILES), L"E:\\PF86");
    src.wow = false;
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_PROGRAM_FILES), L"E:\\PF");
    src.env[L"APPDATA"] = L" \r\n ";
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_APPDATA), L"D:\\Users\\anna\\AppData\\Roaming");
}

TEST(SessionSpecialFolder, ShellAnswerAndFoldersOutsideTheTable)
{
    FakeSource src;
    src.shellOk = true;
    src.shell = L"C:\\Users\\anna\\Desktop";
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_DESKTOPDIRECTORY), L"C:\\Users\\anna\\Desktop");
    src.shell = L"C:";
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_DESKTOPDIRECTORY), L"C:");
    src.shellOk = false;
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_DESKTOPDIRECTORY), L"");
    src.shellOk = true;
    src.shell = L"X:\\PD";
    EXPECT_EQ(GetSpecialFolderFrom(src, nullptr, CSIDL_COMMON_APPDATA), L"X:\\PD");
}

// The real platform calls, once, under Wine.
TEST(SessionReal, QueriesAnswerOnThisSystem)
{
    std::wstring os = GetOSName();
    EXPECT_FALSE(os.empty());
    EXPECT_EQ(os.rfind(L"Windows ", 0), 0u) << ToUtf8(os);

    std::wstring sys = GetSystemDir();
    EXPECT_TRUE(EndsWithText(sys, L"\\system32")) << ToUtf8(sys);

    std::wstring desktop = GetSpecialFolder(nullptr, CSIDL_DESKTOPDIRECTORY);
    EXPECT_TRUE(DirectoryExists(desktop)) << ToUtf8(desktop);
    std::wstring pf = GetSpecialFolder(nullptr, CSIDL_PROGRAM_FILES);
    EXPECT_TRUE(DirectoryExists(pf)) << ToUtf8(pf);

    std::wstring me = GetCurrentUserName();
    EXPECT_FALSE(me.empty());
    EXPECT_TRUE(SameText(GetProcessUserName(GetCurrentProcessId()), me));
    EXPECT_EQ(GetProcessUserName(0xFFFFFFF0u), L"");

    BOOL wow = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow);
    EXPECT_EQ(IsWow64(), wow != FALSE);
    EXPECT_EQ(IsWow64(), wow != FALSE);  // the cached answer

    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
    UniqueHandle token(own);
    DWORD level = GetTokenIntegrityLevel(token.get());
    EXPECT_TRUE(level == 0x1000 || level == 0x2000 || level == 0x3000 || level == 0x4000) << level;
    EXPECT_EQ(GetTokenIntegrityLevel(nullptr), 0u);

    SetLastError(ERROR_FILE_NOT_FOUND);
    std::wstring err = GetLastErrorText();
    EXPECT_EQ(err.rfind(L"[0x2]", 0), 0u) << ToUtf8(err);
    EXPECT_NE(err.back(), L'.');
    EXPECT_NE(err.back(), L'\n');
}

TEST(SessionReal, ProcessLookupsByImageName)
{
    // Other copies of this test program may run at the same time: the first
    // match is any process with this image name.
    std::wstring self = ExtractFileName(ModuleFileName(nullptr));
    auto imageOf = [](DWORD pid) {
        UniqueHandle h(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        wchar_t buf[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (!h || !QueryFullProcessImageNameW(h.get(), 0, buf, &size)) return std::wstring();
        return ExtractFileName(buf);
    };
    DWORD any = FindProcessIdByName(self, L"");
    EXPECT_NE(any, 0u);
    EXPECT_TRUE(SameText(imageOf(any), self));
    DWORD mine = FindProcessIdByName(ToUpper(self), GetCurrentUserName());
    EXPECT_NE(mine, 0u);
    EXPECT_TRUE(SameText(imageOf(mine), self));
    EXPECT_EQ(FindProcessIdByName(self, L"nobody-of-that-name"), 0u);
    EXPECT_EQ(FindProcessIdByName(L"no-such-image.exe", L""), 0u);
    UniqueHandle token(GetTokenByName(self, L""));
    EXPECT_TRUE(token);
    EXPECT_NE(GetTokenIntegrityLevel(token.get()), 0u);
    EXPECT_EQ(GetTokenByName(L"no-such-image.exe", L""), nullptr);
}

}  // namespace
}  // namespace pelmo
