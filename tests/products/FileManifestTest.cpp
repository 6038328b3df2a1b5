#include "products/FileManifest.h"

#include <gtest/gtest.h>

#include "platform/win.h"
#include <wincrypt.h>

#include "platform/Handles.h"
#include "products/ProductLocations.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

void Put(const std::wstring& path, const std::string& bytes)
{
    ForceDirectories(ExtractFileDir(path));
    test::WriteBytes(path, bytes);
}

std::wstring Rel(const test::TempDir& d, const std::wstring& p) { return p.substr(d.Path().size()); }

TEST(Manifest, DepthFirstAndBreadthFirstWalks)
{
    test::TempDir d;
    Put(d.Path() + L"a\\deep\\x.txt", "x");
    Put(d.Path() + L"a\\y.txt", "yy");
    Put(d.Path() + L"b.txt", "bbb");
    Put(d.Path() + L".svn\\skipped.txt", "s");
    Put(d.Path() + L"c\\.SVN\\kept.txt", "k");
    LineList dfs;
    ListFolderFiles(d.Path(), dfs);
    LineList rel;
    for (auto& p : dfs) rel.push_back(Rel(d, p));
    // Enumeration order within a folder is the platform's; Wine's is sorted.
    EXPECT_EQ(rel, (LineList{L"a\\deep\\x.txt", L"a\\y.txt", L"b.txt", L"c\\.SVN\\kept.txt"}));
    LineList none;
    ListFolderFiles(L"", none);
    EXPECT_TRUE(none.empty());

    auto bfs = ListInstallFiles(ExcludeTrailingBackslash(d.Path()));
    LineList relB;
    for (auto& [p, size] : bfs) relB.push_back(Rel(d, p) + L"=" + std::to_wstring(size));
    EXPECT_EQ(relB, (LineList{L"b.txt=3", L".svn\\skipped.txt=1", L"a\\y.txt=2", L"a\\deep\\x.txt=1",
                              L"c\\.SVN\\kept.txt=1"}));
    EXPECT_TRUE(ListInstallFiles(d.Path() + L"missing").empty());
}

TEST(Manifest, DigestsOfEmptyKnownAndUnreadableFiles)
{
    test::TempDir d;
    Put(d.Path() + L"empty", "");
    Put(d.Path() + L"abc", "abc");
    EXPECT_EQ(GetFileMD5(d.Path() + L"empty"), L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(GetFileMD5(d.Path() + L"abc"), L"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(GetFileMD5(d.Path() + L"missing"), L"");
    // Held open without sharing by another program: no digest, not the
    // digest of nothing.
    UniqueFile locked(CreateFileW((d.Path() + L"abc").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    EXPECT_EQ(GetFileMD5(d.Path() + L"abc"), L"");
    locked.reset();
    // Held open for writing with sharing, as a service keeps its log.
    UniqueFile log(CreateFileW((d.Path() + L"abc").c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr));
    EXPECT_EQ(GetFileMD5(d.Path() + L"abc"), L"900150983cd24fb0d6963f7d28e17f72");
}

TEST(Manifest, DigestAcrossManyViews)
{
    // 70 MiB + 3 bytes: several views, the last one short. MD5 of the bytes
    // i % 251, computed independently below by the platform for one view.
    test::TempDir d;
    const size_t size = (70u << 20) + 3;
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char(i % 251);
    Put(d.Path() + L"big", bytes);
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(size), 0);
    BYTE digest[16];
    DWORD len = 16;
    CryptGetHashParam(hash, HP_HASHVAL, digest, &len, 0);
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    std::wstring hex;
    for (BYTE b : digest) hex += Format(L"%02x", b);
    EXPECT_EQ(GetFileMD5(d.Path() + L"big"), hex);
}

TEST(Manifest, BlockOfTheProgramFolder)
{
    test::TempDir d;
    Put(d.Path() + L"Antivirus\\Engine.dat", "");
    Put(d.Path() + L"readme.txt", "abc");
    ProductRun().appPath = d.Path();
    LineList list;
    GetAppFileInfo(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], std::wstring(81, L'*'));
    EXPECT_EQ(list[1].substr(0, list[1].find(L"   DT:")),
              L"Antivirus\\Engine.dat   Ver:   MD5:d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(list[2].substr(0, list[2].find(L"   DT:")), L"readme.txt   Ver:   MD5:900150983cd24fb0d6963f7d28e17f72");
    EXPECT_GT(list[2].size(), list[2].find(L"   DT:") + 6);
    // No folder, or a folder without files: nothing, not even the stars.
    for (const std::wstring& app : {std::wstring(), d.Path() + L"missing\\", d.Path() + L"Antivirus\\none\\"}) {
        if (app.find(L"none") != std::wstring::npos) ForceDirectories(app);
        ProductRun().appPath = app;
        LineList empty;
        GetAppFileInfo(empty);
        EXPECT_TRUE(empty.empty());
    }
    ProductRun() = ProductRunState{};
    EXPECT_EQ(FileTimeText(d.Path() + L"missing"), RegionalDateTimeText(SYSTEMTIME{1899, 12, 0, 30, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace pelmo
