#include "collectors/RegistryExport.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include "platform/Session.h"

namespace pelmo {
namespace {

class RegistryExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = Format(L"Software\\PelmoExportTest\\%lu", GetCurrentProcessId());
        root = Key(path);
    }
    void TearDown() override
    {
        // A sub-key named Wow6432Node is reached only through the 64-bit view
        // from a 32-bit build.
        UniqueHKey k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, k.put()) ==
            ERROR_SUCCESS)
            RegDeleteTreeW(k.get(), nullptr);
        RegDeleteKeyExW(HKEY_CURRENT_USER, path.c_str(), KEY_WOW64_64KEY, 0);
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    UniqueHKey Key(const std::wstring& p)
    {
        UniqueHKey k;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, p.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
                  ERROR_SUCCESS);
        return k;
    }
    static void Set(HKEY k, const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size);
    }
    static void SetText(HKEY k, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        Set(k, name, type, text.c_str(), DWORD((text.size() + 1) * 2));
    }
    std::wstring path;
    UniqueHKey root;
};

TEST_F(RegistryExport, DepthFirstWalkWithItsValueNotation)
{
    UniqueHKey foo = Key(path + L"\\Foo");
    SetText(foo.get(), L"DisplayName", L"Foo");
    const DWORD size = 4660;
    Set(foo.get(), L"EstimatedSize", REG_DWORD, &size, 4);
    SetText(foo.get(), L"InstallLocation", L"C:\\Program Files\\Foo\\");
    SetText(foo.get(), L"Quoted", L"say \"hi\"");
    SetText(foo.get(), L"Expand", L"%ProgramFiles%\\Foo", REG_EXPAND_SZ);
    const wchar_t multi[] = L"a\0b\0";
    Set(foo.get(), L"Multi", REG_MULTI_SZ, multi, sizeof(multi));
    Set(foo.get(), L"Empty", REG_BINARY, nullptr, 0);
    SetText(foo.get(), L"", L"default");
    UniqueHKey deep = Key(path + L"\\Foo\\Sub");
    UniqueHKey bar = Key(path + L"\\Zed");
    UniqueHKey wow = Key(path + L"\\Wow6432Node");
    SetText(wow.get(), L"hidden", L"never listed");

    TRegistry reg(KEY_READ);
    reg.SelectRootKey(HKEY_CURRENT_USER);
    LineList lines;
    ExportKeyTree(reg, lines, path, L"HKEY_CURRENT_USER");
    const std::wstring k = L"[HKEY_CURRENT_USER\\" + path;
    const LineList expected = {
        L"", k + L"]",
        L"", k + L"\\Foo]",
        L"\"DisplayName\"=\"Foo\"",
        L"\"EstimatedSize\"=dword:00001234",
        L"\"InstallLocation\"=\"C:\\\\Program Files\\\\Foo\\\\\"",
        L"\"Quoted\"=\"say \"hi\"\"",
        L"\"Expand\"=\"%ProgramFiles%\\\\Foo\"",
        L"\"Multi\"=hex:61,00,00,00,62,00,00,00,00,00",
        L"\"Empty\"=",
        L"\"\"=\"default\"",
        L"", k + L"\\Foo\\Sub]",
        L"", k + L"\\Zed]",
    };
    // Key lines in walk order; values in the registry's own enumeration order
    // (Wine keeps them sorted), so the value lines are compared as a set.
    ASSERT_EQ(lines.size(), expected.size());
    LineList valuesGot(lines.begin() + 4, lines.begin() + 12), valuesWant(expected.begin() + 4, expected.begin() + 12);
    std::sort(valuesGot.begin(), valuesGot.end());
    std::sort(valuesWant.begin(), valuesWant.end());
    EXPECT_EQ(valuesGot, valuesWant);
    EXPECT_EQ(LineList(lines.begin(), lines.begin() + 4), LineList(expected.begin(), expected.begin() + 4));
    EXPECT_EQ(LineList(lines.begin() + 12, lines.end()), LineList(expected.begin() + 12, expected.end()));

    LineList none;
    ExportKeyTree(reg, none, path + L"\\Missing", L"HKEY_CURRENT_USER");
    EXPECT_TRUE(none.empty());
}

TEST_F(RegistryExport, ReadOnlyKeysAreExportedWithTheirSubTree)
{
    {
        UniqueHKey ro = Key(path + L"\\ReadOnly");
        UniqueHKey child = Key(path + L"\\ReadOnly\\Child");
        SetText(child.get(), L"v", L"x");
        PSECURITY_DESCRIPTOR sd = nullptr;
        // Everyone may read; nobody may write.
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;CI;KR;;;WD)", SDDL_REVISION_1, &sd,
                                                                         nullptr));
        UniqueLocal hold(sd);
        ASSERT_EQ(RegSetKeySecurity(ro.get(), DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
    }
    TRegistry reg(KEY_READ);
    reg.SelectRootKey(HKEY_CURRENT_USER);
    LineList lines;
    ExportKeyTree(reg, lines, path, L"HKEY_CURRENT_USER");
    const std::wstring k = L"[HKEY_CURRENT_USER\\" + path;
    EXPECT_EQ(lines, (LineList{L"", k + L"]", L"", k + L"\\ReadOnly]", L"", k + L"\\ReadOnly\\Child]", L"\"v\"=\"x\""}));
    // Give the test's own clean-up its rights back.
    UniqueHKey fix;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (path + L"\\ReadOnly").c_str(), 0, WRITE_DAC, fix.put()) == ERROR_SUCCESS) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;CI;KA;;;WD)", SDDL_REVISION_1, &sd, nullptr);
        UniqueLocal hold(sd);
        RegSetKeySecurity(fix.get(), DACL_SECURITY_INFORMATION, sd);
    }
}

TEST(RegistryExportReal, UninstallAndInterfacesOfThisMachine)
{
    LineList un;
    DoClllectEx(un);
    ASSERT_GE(un.size(), 2u);
    EXPECT_EQ(un[0], L"");
    EXPECT_EQ(un[1], L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall]");
    for (const auto& l : un) {
        if (!l.empty() && l[0] == L'[') {
            EXPECT_TRUE(l.rfind(L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\", 0) == 0 ||
                        l.rfind(L"[HKEY_CURRENT_USER\\SOFTWARE\\", 0) == 0)
                << ToUtf8(l);
            if (!IsWow64()) {
                EXPECT_EQ(ToLower(l).find(L"wow6432node"), std::wstring::npos) << ToUtf8(l);
            }
        }
    }
    // An interface key of our own, so the branch exists on any prefix.
    const std::wstring ifaces = L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces";
    const std::wstring mine = ifaces + Format(L"\\{PELMO-%lu}", GetCurrentProcessId());
    UniqueHKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, mine.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t ns[] = L"10.0.0.1";
    RegSetValueExW(k.get(), L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(ns), sizeof(ns));
    k.reset();
    LineList dns;
    DoClllectDNS(dns);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, mine.c_str(), KEY_WOW64_64KEY, 0);
    ASSERT_GE(dns.size(), 5u);
    EXPECT_EQ(dns[1], L"[HKEY_LOCAL_MACHINE\\" + ifaces + L"]");
    auto at = std::find(dns.begin(), dns.end(), L"[HKEY_LOCAL_MACHINE\\" + mine + L"]");
    ASSERT_NE(at, dns.end());
    EXPECT_EQ(*(at + 1), L"\"NameServer\"=\"10.0.0.1\"");
}

}  // namespace
}  // namespace pelmo
