#include "platform/RegistryClassEx.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "platform/Session.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

// A scratch key below HKEY_CURRENT_USER, deleted with its sub-tree afterwards.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = Format(L"Software\\PelmoTest\\%lu", GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        key.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetText(const wchar_t* name, DWORD type, const std::wstring& text)
    {
        Set(name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    std::wstring path;
    UniqueHKey key;
};

TEST_F(RegistryTest, ValuesInExportNotation)
{
    const BYTE bin[] = {0x01, 0xAB, 0x00};
    const DWORD dw = 26;
    const uint64_t qw = 0x0102030405060708ull;
    const wchar_t multi[] = L"a\0b\0";
    const char odd[] = {'a', 0, 'b', 0, 'c'};  // five bytes: half a character at the end
    const wchar_t unterminated[] = {L'x', L'y', L'z'};
    SetText(L"sz", REG_SZ, L"C:\\Program Files\\Pelmo");
    SetText(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\system32");
    Set(L"dw", REG_DWORD, &dw, 4);
    Set(L"bin", REG_BINARY, bin, 3);
    Set(L"empty", REG_BINARY, nullptr, 0);
    Set(L"multi", REG_MULTI_SZ, multi, sizeof(multi));
    Set(L"qw", REG_QWORD, &qw, 8);
    Set(L"none", REG_NONE, bin, 2);
    Set(L"odd", REG_SZ, odd, sizeof(odd));
    Set(L"unterminated", REG_SZ, unterminated, sizeof(unterminated));
    const std::wstring longText(100000, L'L');
    SetText(L"long", REG_SZ, longText);
    SetText(L"", REG_SZ, L"default value");

    TRegistry reg;
    ASSERT_TRUE(reg.OpenPath(path, false));
    struct Case {
        const wchar_t* name;
        std::wstring text;
    };
    const Case cases[] = {
        {L"sz", L"C:\\Program Files\\Pelmo"},
        {L"expand", L"%SystemRoot%\\system32"},
        {L"dw", L"dword:0000001A"},
        {L"bin", L"hex:01,AB,00"},
        {L"empty", L""},
        {L"multi", L"hex:61,00,00,00,62,00,00,00,00,00"},
        {L"qw", L"hex:08,07,06,05,04,03,02,01"},
        {L"none", L"hex:01,AB"},
        {L"odd", L"ab"},
        {L"unterminated", L"xyz"},
        {L"missing", L""},
        {L"", L"default value"},
    };
    for (const auto& c : cases) EXPECT_EQ(reg.ValueAsRegText(c.name), c.text) << ToUtf8(c.name);
    EXPECT_EQ(reg.ReadText(L"long"), longText);
    EXPECT_EQ(reg.ValueAsRegText(L"long").size(), 100000u);
    EXPECT_EQ(reg.ReadText(L"expand"), L"%SystemRoot%\\system32");
    EXPECT_EQ(reg.ReadDword(L"dw"), 26u);
    EXPECT_EQ(reg.ValueKindOf(L"dw"), vkInteger);
    EXPECT_EQ(reg.ValueKindOf(L"multi"), vkUnknown);
    EXPECT_EQ(reg.ValueKindOf(L"expand"), vkExpandString);
    EXPECT_EQ(reg.ValueDataSize(L"bin"), 3);
    EXPECT_EQ(reg.ValueDataSize(L"missing"), -1);
    EXPECT_FALSE(reg.ValuePresent(L"missing"));
    EXPECT_EQ(reg.ReadText(L"missing"), L"");
    BYTE buf[8];
    EXPECT_EQ(reg.ReadRawBytes(L"missing", buf, 8), 0);
    EXPECT_EQ(reg.ReadRawBytes(L"bin", buf, 8), 3);
    EXPECT_THROW(reg.ReadRawBytes(L"bin", buf, 2), ERegistryException);
    try {
        reg.ReadText(L"dw");
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), L"Invalid data type for 'dw'");
    }
    std::vector<std::wstring> names;
    reg.ListValueNames(names);
    EXPECT_EQ(names.size(), 12u);
    EXPECT_NE(std::find(names.begin(), names.end(), L""), names.end());
}

TEST_F(RegistryTest, PathsSubKeysAndTheWow6432NodeFilter)
{
    for (const wchar_t* sub : {L"Alpha", L"Wow6432Node", L" wow6432node ", L"WOW6432NODE\t", L"Beta", L"NotWow6432Node"}) {
        UniqueHKey k;
        ASSERT_EQ(RegCreateKeyExW(key.get(), sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
                  ERROR_SUCCESS);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenPath(L"\\" + path, false));
    EXPECT_EQ(reg.CurrentPath(), path);
    EXPECT_TRUE(reg.AnySubKeys());
    std::vector<std::wstring> names;
    reg.ListSubKeyNames(names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"Beta", L"NotWow6432Node"}));

    // Relative paths extend the current path; a leading backslash starts at the root.
    ASSERT_TRUE(reg.OpenPath(L"Alpha", false));
    EXPECT_EQ(reg.CurrentPath(), path + L"\\Alpha");
    EXPECT_FALSE(reg.AnySubKeys());
    EXPECT_FALSE(reg.OpenPath(L"Missing", false));
    EXPECT_EQ(reg.CurrentPath(), path + L"\\Alpha");  // the open key stays
    ASSERT_TRUE(reg.OpenPath(L"New\\Deeper", true));
    EXPECT_EQ(reg.CurrentPath(), path + L"\\Alpha\\New\\Deeper");
    ASSERT_TRUE(reg.OpenPath(L"\\" + path + L"\\Beta", false));
    EXPECT_EQ(reg.CurrentPath(), path + L"\\Beta");
    ASSERT_TRUE(reg.OpenPath(L"", false));  // the same key again
    EXPECT_EQ(reg.CurrentPath(), path + L"\\Beta\\");
    reg.ClosePath();
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    EXPECT_EQ(reg.CurrentPath(), L"");
    reg.SelectRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.OpenPath(path, false));
}

TEST_F(RegistryTest, ViewBitFollowsThePathOnlyUnderWow64)
{
    TRegistry reg;
    reg.OnWow64 = true;  // view selection on its own: no key of either view is needed
    reg.SetAccess(KEY_READ);
    reg.OpenPath(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", false);
    EXPECT_TRUE(reg.Access() & KEY_WOW64_64KEY);
    reg.OpenPath(L"SOFTWARE\\WOW6432Node\\Microsoft", false);
    EXPECT_FALSE(reg.Access() & KEY_WOW64_64KEY);
    reg.AutoWowView = false;
    reg.OpenPath(L"SOFTWARE\\Microsoft", false);
    EXPECT_FALSE(reg.Access() & KEY_WOW64_64KEY);
    TRegistry plain;
    plain.OnWow64 = false;
    plain.SetAccess(KEY_READ);
    plain.OpenPath(L"SOFTWARE\\Microsoft", false);
    EXPECT_EQ(plain.Access(), REGSAM(KEY_READ));
}

TEST_F(RegistryTest, ReadingLowersTheRightsUntilAnOpenSucceeds)
{
    UniqueHKey k;
    ASSERT_EQ(RegCreateKeyExW(key.get(), L"QueryOnly", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR sd = nullptr;
    // Everyone may query values, nothing more.
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x1;;;WD)", SDDL_REVISION_1, &sd,
                                                                     nullptr));
    UniqueLocal hold(sd);
    ASSERT_EQ(RegSetKeySecurity(k.get(), DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
    k.reset();
    UniqueHKey probe;
    if (RegOpenKeyExW(key.get(), L"QueryOnly", 0, KEY_READ, probe.put()) == ERROR_SUCCESS)
        GTEST_SKIP() << "this platform does not enforce registry key permissions";
    TRegistry reg;
    ASSERT_TRUE(reg.OpenPathForReading(L"\\" + path + L"\\QueryOnly"));
    EXPECT_EQ(reg.Access() & ~REGSAM(0x300), REGSAM(KEY_QUERY_VALUE));
}

TEST(Wow64Views, KeysOfBothViewsByPath)
{
    if (!IsWow64()) GTEST_SKIP() << "needs the 32-bit build under WOW64; this run uses the x86_64 build";
    const std::wstring base = Format(L"SOFTWARE\\PelmoTestViews%lu", GetCurrentProcessId());
    for (REGSAM view : {REGSAM(KEY_WOW64_64KEY), REGSAM(KEY_WOW64_32KEY)}) {
        UniqueHKey k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                  k.put(), nullptr),
                  ERROR_SUCCESS);
        std::wstring v = view == KEY_WOW64_64KEY ? L"64" : L"32";
        RegSetValueExW(k.get(), L"view", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), 6);
    }
    TRegistry reg(KEY_READ);
    reg.SelectRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenPath(base, false));
    EXPECT_EQ(reg.ReadText(L"view"), L"64");
    ASSERT_TRUE(reg.OpenPath(L"\\SOFTWARE\\Wow6432Node\\" + base.substr(9), false));
    EXPECT_EQ(reg.ReadText(L"view"), L"32");
    reg.AutoWowView = false;
    ASSERT_TRUE(reg.OpenPath(L"\\" + base, false));
    EXPECT_EQ(reg.ReadText(L"view"), L"32");
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), KEY_WOW64_32KEY, 0);
}

TEST(Wow64Redirection, SwitchPairsOnEveryPath)
{
    LoadWOW64Funcs();
    if (!IsWow64()) {
        void* previous = nullptr;
        EXPECT_FALSE(DisableWow64Redirection(previous));
        EXPECT_FALSE(RevertWow64Redirection(previous));
        GTEST_SKIP() << "no WOW64 here (x86_64 build): the switch reports failure and does nothing, as it must";
    }
    // A file only in the 64-bit system folder.
    wchar_t win[MAX_PATH];
    GetWindowsDirectoryW(win, MAX_PATH);
    const std::wstring name = Format(L"pelmo-only64-%lu.txt", GetCurrentProcessId());
    const std::wstring sys = std::wstring(win) + L"\\System32\\" + name;
    {
        Wow64RedirectionOff off;
        ASSERT_TRUE(off.Active());
        test::WriteBytes(sys, "64");
        EXPECT_TRUE(FileExists(sys));
    }
    EXPECT_FALSE(FileExists(sys));  // redirected to SysWOW64 again
    try {
        Wow64RedirectionOff off;
        throw Error(L"inside");
    } catch (const Error&) {
    }
    EXPECT_FALSE(FileExists(sys));
    Wow64RedirectionOff off;
    DeleteFileW(sys.c_str());
}

}  // namespace
}  // namespace pelmo
