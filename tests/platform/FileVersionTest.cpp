#include "platform/AppFrame_New.h"

#include <gtest/gtest.h>

#include <map>
#include <shlobj.h>

#include "platform/Text.h"

namespace pelmo {
namespace {

std::wstring Fixture(const wchar_t* name) { return ApplicationFolder() + L"fixtures\\" + name; }

TEST(FileVersion, ModesOfAFullResource)
{
    const std::wstring f = Fixture(L"ver_full.dll");
    const wchar_t* expected[] = {L"a comment",      L"Pelmo",    L"Fixture library", L"10.2.65535.1",
                                 L"full",           L"Copyright Pelmo", L"Pelmo TM", L"full.dll",
                                 L"Molvane",        L"10.2",     L"wow 1"};
    for (int mode = 0; mode <= 10; ++mode) EXPECT_EQ(GetFileVersion(f, mode), expected[mode]) << mode;
    EXPECT_EQ(GetFileVersion(f, 11), L"");
    EXPECT_EQ(GetFileVersion(f, -1), L"");
    EXPECT_EQ(FixedFileVersion(f), L"10.2.65535.1");
}

TEST(FileVersion, FallbacksAndFailures)
{
    // The translation names a table that does not exist: the first table serves.
    EXPECT_EQ(GetFileVersion(Fixture(L"ver_mismatch.dll"), 3), L"1.2.3.4 from the only table");
    EXPECT_EQ(GetFileVersion(Fixture(L"ver_mismatch.dll"), 1), L"Pelmo");
    // A missing string is empty, not "Unknown".
    EXPECT_EQ(GetFileVersion(Fixture(L"ver_nocomments.dll"), 0), L"");
    EXPECT_EQ(GetFileVersion(Fixture(L"ver_nocomments.dll"), 3), L"2.0.0.7");
    // No translation entry: the strings cannot be read, the fixed part can.
    EXPECT_EQ(GetFileVersion(Fixture(L"ver_notrans.dll"), 3), L"Unknown");
    EXPECT_EQ(FixedFileVersion(Fixture(L"ver_notrans.dll")), L"5.6.7.8");
    for (int mode : {0, 3, 9, 11}) {
        EXPECT_EQ(GetFileVersion(Fixture(L"ver_none.dll"), mode), L"Unknown") << mode;
        EXPECT_EQ(GetFileVersion(Fixture(L"no-such-file.dll"), mode), L"Unknown") << mode;
    }
    EXPECT_EQ(FixedFileVersion(Fixture(L"ver_none.dll")), L"");
    EXPECT_EQ(FixedFileVersion(Fixture(L"no-such-file.dll")), L"");
}

class FakeFolders : public IDataFolderSource {
public:
    bool shellOk = false;
    std::map<bool, std::wstring> shellFolders;
    DWORD major = 6;
    std::map<std::wstring, bool> exists;
    bool ShellFolder(int csidl, std::wstring& path) const override
    {
        path = csidl == CSIDL_COMMON_APPDATA ? L"S:\\Common" : L"S:\\Roaming";
        return shellOk;
    }
    bool ShellFoldersValue(bool all, std::wstring& path) const override
    {
        auto it = shellFolders.find(all);
        if (it == shellFolders.end()) return false;
        path = it->second;
        return true;
    }
    std::wstring WindowsFolder() const override { return L"C:\\Windows"; }
    std::wstring UserName() const override { return L"anna"; }
    DWORD OsMajor() const override { return major; }
    bool FolderExists(const std::wstring& p) const override
    {
        auto it = exists.find(p);
        return it != exists.end() && it->second;
    }
};

TEST(AppFrame, DataFolderFallbacks)
{
    FakeFolders f;
    f.shellOk = true;
    f.exists[L"S:\\Common"] = true;
    EXPECT_EQ(ResolveDataFolderFrom(f, true), L"S:\\Common");
    f.exists[L"S:\\Common"] = false;  // the shell names a folder that is gone
    f.shellFolders[true] = L"R:\\FromRegistry";
    f.exists[L"R:\\FromRegistry"] = true;
    EXPECT_EQ(ResolveDataFolderFrom(f, true), L"R:\\FromRegistry");
    f.shellFolders.clear();
    f.exists[L"C:\\ProgramData"] = true;
    EXPECT_EQ(ResolveDataFolderFrom(f, true), L"C:\\ProgramData");
    f.exists[L"C:\\Users\\anna\\AppData\\Roaming"] = true;
    EXPECT_EQ(ResolveDataFolderFrom(f, false), L"C:\\Users\\anna\\AppData\\Roaming");
    f.major = 5;
    EXPECT_EQ(ResolveDataFolderFrom(f, true), L"");
    f.exists[L"C:\\Documents and Settings\\anna\\Application Data"] = true;
    EXPECT_EQ(ResolveDataFolderFrom(f, false), L"C:\\Documents and Settings\\anna\\Application Data");
}

TEST(AppFrame, FoldersByKindOnThisSystem)
{
    const TAppFrame& frame = AppFrame();
    EXPECT_TRUE(DirectoryExists(frame.AppDataDir)) << ToUtf8(frame.AppDataDir);
    EXPECT_TRUE(DirectoryExists(frame.CommonAppDataDir)) << ToUtf8(frame.CommonAppDataDir);
    EXPECT_NE(frame.AppDataDir.back(), L'\\');
    std::wstring temp = frame.FolderByKind(2);
    EXPECT_EQ(temp.back(), L'\\');
    std::wstring windows = frame.FolderByKind(0);
    EXPECT_NE(windows.back(), L'\\');
    EXPECT_TRUE(DirectoryExists(windows));
    EXPECT_TRUE(EndsWithText(frame.FolderByKind(1), L"\\system32"));
    EXPECT_TRUE(DirectoryExists(frame.FolderByKind(15)));
    EXPECT_EQ(frame.FolderByKind(14, L"kept"), L"kept");
    EXPECT_EQ(frame.FolderByKind(36, L"kept"), L"kept");
    std::wstring desktop = ShellFolderPath(CSIDL_DESKTOPDIRECTORY);
    EXPECT_EQ(desktop.back(), L'\\');
    EXPECT_TRUE(DirectoryExists(desktop));
}

}  // namespace
}  // namespace pelmo
