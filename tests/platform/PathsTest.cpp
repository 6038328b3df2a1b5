#include <gtest/gtest.h>

#include "platform/Handles.h"
#include "platform/PrivateFiles.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

using test::TempDir;
using test::WriteBytes;

// Beyond MAX_PATH the \\?\ form switches the system's own parsing off, so
// the path is made absolute and "." and ".." are resolved first.
TEST(Paths, LongPathsAreNormalisedBeforeThePrefix)
{
    TempDir dir;
    std::wstring deep = dir.Path();
    for (int i = 0; i < 20; ++i) {
        deep += L"folder number " + std::to_wstring(i) + L"\\";
        ASSERT_TRUE(ForceDirectories(deep)) << deep.size();
    }
    ASSERT_GT(deep.size(), 260u);
    WriteBytes(LongPath(deep + L"target.txt"), "here");
    // The same file through "." and ".." segments.
    const std::wstring winding = deep + L".\\folder number x\\..\\target.txt";
    const std::wstring p = LongPath(winding);
    EXPECT_EQ(p, L"\\\\?\\" + deep + L"target.txt");
    EXPECT_EQ(test::ReadBytes(p), "here");
    EXPECT_TRUE(FileExists(winding));
    // Relative to the current folder.
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    const std::wstring relative = deep.substr(dir.Path().size()) + L"target.txt";
    ASSERT_GE(relative.size(), 248u);
    EXPECT_EQ(LongPath(relative), L"\\\\?\\" + deep + L"target.txt");
    SetCurrentDirectoryW(cwd);
    // Short paths and prefixed ones are left as they are.
    EXPECT_EQ(LongPath(L"C:\\a\\..\\b"), L"C:\\a\\..\\b");
    EXPECT_EQ(LongPath(L"\\\\?\\" + deep), L"\\\\?\\" + deep);
}

TEST(Paths, FreeNamesBesideTakenOnes)
{
    TempDir dir;
    const std::wstring zip = dir.Path() + L"Pelmo_Debug_Info.zip";
    WriteBytes(zip, "old");
    EXPECT_EQ(FreeNameBeside(zip), dir.Path() + L"Pelmo_Debug_Info (2).zip");
    WriteBytes(dir.Path() + L"Pelmo_Debug_Info (2).zip", "older");
    CreateDirectoryW((dir.Path() + L"Pelmo_Debug_Info (3).zip").c_str(), nullptr);  // a folder takes the name too
    EXPECT_EQ(FreeNameBeside(zip), dir.Path() + L"Pelmo_Debug_Info (4).zip");
    const std::wstring folder = dir.Path() + L"Pelmo_Debug_Info\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_EQ(FreeNameBeside(folder), dir.Path() + L"Pelmo_Debug_Info (2)\\");
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }


// Folders the elevated run makes for itself: administrators and the system
// only, nothing inherited from the folder around them; what is made inside
// inherits that. A finished folder is handed back to its parent's rules.
// Wine 8 does not keep a file's descriptor: it answers with one made from
// the Unix permissions, so the read-back is checked on Windows only.
TEST(PrivateFiles, FoldersAndFilesForTheElevatedRunOnly)
{
    ASSERT_TRUE(PrivateSecurity());
    EXPECT_EQ(DaclTextOf(PrivateSecurity()->lpSecurityDescriptor), L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    EXPECT_FALSE(PrivateSecurity()->bInheritHandle);
    TempDir dir;
    const std::wstring folder = dir.Path() + L"GetInfoDir\\";
    ASSERT_TRUE(CreatePrivateFolder(folder));
    EXPECT_TRUE(DirectoryExists(folder));
    EXPECT_FALSE(CreatePrivateFolder(folder)) << "an existing folder is never taken for a new one";
    WriteBytes(folder + L"inside.txt", "x");
    {
        UniqueFile side(CreateFileW((dir.Path() + L"a.zip.part").c_str(), GENERIC_WRITE | WRITE_DAC, 0,
                                    PrivateSecurity(), CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(side);
        EXPECT_TRUE(MakePrivate(side.get()));
    }
    EXPECT_TRUE(ShareWithParent(folder));
    if (UnderWine()) {
        EXPECT_FALSE(DaclText(folder).empty());
        return;
    }
    EXPECT_EQ(DaclText(dir.Path() + L"a.zip.part"), L"D:P(A;;FA;;;BA)(A;;FA;;;SY)");
    const std::wstring shared = DaclText(folder);
    EXPECT_EQ(shared.rfind(L"D:P", 0), std::wstring::npos) << shared;
    const std::wstring fresh = dir.Path() + L"Second\\";
    ASSERT_TRUE(CreatePrivateFolder(fresh));
    EXPECT_EQ(DaclText(fresh), L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    WriteBytes(fresh + L"inside.txt", "x");
    const std::wstring inside = DaclText(fresh + L"inside.txt");
    EXPECT_NE(inside.find(L"(A;ID;FA;;;BA)"), std::wstring::npos) << inside;
    EXPECT_NE(inside.find(L"(A;ID;FA;;;SY)"), std::wstring::npos) << inside;
}

}  // namespace
}  // namespace pelmo
