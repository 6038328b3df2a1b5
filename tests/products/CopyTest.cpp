#include <gtest/gtest.h>

#include "platform/FileCopy.h"
#include "platform/Handles.h"
#include "products/AppLogFiles.h"
#include "products/LogCollector.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

void Put(const std::wstring& path, const std::string& bytes)
{
    ForceDirectories(ExtractFileDir(path));
    test::WriteBytes(path, bytes);
}

TEST(Copy, RelativePaths)
{
    struct Case {
        const wchar_t* base;
        const wchar_t* file;
        const wchar_t* rel;
    };
    const Case cases[] = {
        {L"C:\\ProgramData\\pelmo\\Molvane\\", L"C:\\ProgramData\\Pelmo\\Molvane\\Log\\a.log", L"Log\\a.log"},
        {L"C:\\ProgramData\\pelmo\\Molvane\\", L"C:\\ProgramData\\Pelmo\\dnsprotect.ini", L"..\\dnsprotect.ini"},
        {L"C:\\ProgramData\\pelmo\\Molvane\\", L"C:\\ProgramData\\Pelmo\\MLVDownloader\\d.log",
         L"..\\MLVDownloader\\d.log"},
        {L"C:\\Windows\\Minidump\\", L"C:\\WINDOWS\\Minidump\\010124-1-01.dmp", L"010124-1-01.dmp"},
        {L"C:\\A\\", L"D:\\A\\x.txt", L"D:\\A\\x.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(RelativePath(c.base, c.file), c.rel) << c.file;
}

class CopyPatterns : public ::testing::Test {
protected:
    void SetUp() override
    {
        src = dir.Path() + L"src\\";
        gather = dir.Path() + L"gather\\";
        ForceDirectories(gather);
        macros = {{L"%AppPath%", src + L"app", src + L"app\\", L"AppPath\\"},
                  {L"%ProgramData%", src + L"pd", src + L"pd\\pelmo\\Molvane\\", L"ProgramData\\"},
                  {L"%Deep%", src + L"deep", src + L"deep\\a\\b\\c\\d\\", L"X\\"}};
    }
    bool InGather(const std::wstring& rel) const { return FileExists(gather + rel); }
    test::TempDir dir;
    std::wstring src, gather;
    std::vector<PathMacro> macros;
};

TEST_F(CopyPatterns, MasksFilesAndPlacesBesideTheProductFolder)
{
    Put(src + L"app\\a.log", "1");
    Put(src + L"app\\b.txt", "2");
    Put(src + L"app\\MLVServiceLog\\s.log", "3");
    Put(src + L"app\\MLVServiceLog\\old\\deep.log", "4");
    Put(src + L"pd\\Pelmo\\dnsprotect.ini", "5");
    Put(src + L"pd\\Pelmo\\Molvane\\Log\\l.txt", "6");
    for (const wchar_t* p : {L"%AppPath%\\*.log", L"%apppath%\\MLVServiceLog\\*.*", L"%ProgramData%\\Pelmo\\dnsprotect.ini",
                             L"%ProgramData%\\Pelmo\\Molvane\\Log\\*.*", L"%Unknown%\\*.*", L"%AppPath%\\none.txt"})
        CopyByPattern(p, gather, macros);
    EXPECT_TRUE(InGather(L"AppPath\\a.log"));
    EXPECT_FALSE(InGather(L"AppPath\\b.txt"));
    EXPECT_TRUE(InGather(L"AppPath\\MLVServiceLog\\s.log"));
    EXPECT_FALSE(InGather(L"AppPath\\MLVServiceLog\\old\\deep.log"));
    EXPECT_TRUE(InGather(L"dnsprotect.ini"));
    EXPECT_TRUE(InGather(L"ProgramData\\Log\\l.txt"));
    // A later pattern overwrites, also a read-only earlier copy.
    SetFileAttributesW((gather + L"AppPath\\a.log").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(src + L"app\\a.log", "newer");
    CopyByPattern(L"%AppPath%\\*.log", gather, macros);
    EXPECT_EQ(test::ReadBytes(gather + L"AppPath\\a.log"), "newer");
    // An empty source folder (AppPath not found) skips its patterns.
    std::vector<PathMacro> empty = {{L"%AppPath%", L"", L"", L"AppPath\\"}};
    test::TempDir other;
    CopyByPattern(L"%AppPath%\\*.log", other.Path(), empty);
    EXPECT_FALSE(DirectoryExists(other.Path() + L"AppPath"));
}

TEST_F(CopyPatterns, NothingIsWrittenOutsideTheGatherFolder)
{
    // The base lies so deep that the relative path climbs above the target.
    Put(src + L"deep\\escape.txt", "x");
    CopyByPattern(L"%Deep%\\escape.txt", gather, macros);
    EXPECT_FALSE(FileExists(dir.Path() + L"escape.txt"));
    EXPECT_FALSE(FileExists(gather + L"escape.txt"));
    EXPECT_FALSE(CopyFileInto(gather, src + L"deep\\escape.txt", gather + L"..\\out.txt", Overwrite::Yes));
    EXPECT_FALSE(FileExists(dir.Path() + L"out.txt"));
    EXPECT_TRUE(CopyFileInto(gather, src + L"deep\\escape.txt", gather + L"a\\..\\in.txt", Overwrite::Yes));
    EXPECT_TRUE(FileExists(gather + L"in.txt"));
    EXPECT_FALSE(PathInside(gather, gather));
}

TEST(FileSet, DuplicatesOnceUnmatchedNeverAndNewestVersionFile)
{
    test::TempDir d;
    const std::wstring i = d.Path() + L"I\\", gather = d.Path() + L"g\\";
    Put(i + L"log\\g1.log", "first");
    Put(d.Path() + L"elsewhere\\x.ini", "x");
    ForceDirectories(gather);
    const PrefixTable prefixes = {{L"", L"never\\"}, {i, L"GDX\\AppPath\\"}};
    CopyFileSet({i + L"log\\g1.log", i + L"log\\g1.log", d.Path() + L"elsewhere\\x.ini"}, prefixes, gather);
    EXPECT_EQ(test::ReadBytes(gather + L"GDX\\AppPath\\log\\g1.log"), "first");
    EXPECT_FALSE(DirectoryExists(gather + L"never"));
    // An existing copy is kept.
    Put(i + L"log\\g1.log", "second");
    CopyFileSet({i + L"log\\g1.log"}, prefixes, gather);
    EXPECT_EQ(test::ReadBytes(gather + L"GDX\\AppPath\\log\\g1.log"), "first");
    // The letter case of the leading folder must match exactly.
    CopyFileSet({ToUpper(i) + L"log\\g1.log"}, {{i, L"Other\\"}}, gather);
    EXPECT_FALSE(DirectoryExists(gather + L"Other"));

    // Version files: the newer of .dat and .dat.bak, never .upd; ties keep the first.
    const std::wstring av = d.Path() + L"Antivirus\\";
    auto putAt = [&](const wchar_t* name, int hoursAgo) {
        Put(av + name, ToUtf8(name));
        UniqueFile f(CreateFileW((av + name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
        t.QuadPart -= uint64_t(hoursAgo) * 3600 * 10000000ull;
        FILETIME when{t.LowPart, t.HighPart};
        SetFileTime(f.get(), nullptr, nullptr, &when);
    };
    putAt(L"versions.dat", 3);
    putAt(L"VERSIONS.DAT.bak", 2);
    putAt(L"versions.dat.upd", 1);
    EXPECT_EQ(FindNewestVersionsFile(av, L"versions.dat"), av + L"VERSIONS.DAT.bak");
    EXPECT_EQ(FindNewestVersionsFile(av, L"versions.id"), L"");
    const std::wstring target = gather + L"AppPath\\Antivirus\\";
    GenNeedFileByBDError(av, target, gather);
    EXPECT_EQ(test::ReadBytes(target + L"VERSIONS.DAT.bak"), "VERSIONS.DAT.bak");
    // Nothing found: the target folder is made all the same.
    GenNeedFileByBDError(L"\\Antivirus\\", gather + L"GDX\\AppPath\\Antivirus\\", gather);
    EXPECT_TRUE(DirectoryExists(gather + L"GDX\\AppPath\\Antivirus"));
}

}  // namespace
}  // namespace pelmo

#include "platform/AppFrame_New.h"

namespace pelmo {
namespace {

TEST(Copy, EngineLoggingFolderWithinItsLimit)
{
    const std::wstring folder = AppFrame().CommonAppDataDir + L"\\BDLogging\\";
    struct Case {
        uint64_t bytes;  // in two files, one in a sub-folder
        uint32_t limit;
        bool copied;
    };
    const Case cases[] = {
        {10 * 1048576 + 943718, 10, true},  // 10.9 MiB
        {11 * 1048576, 10, false},
        {11 * 1048576, 0, true},            // no limit
    };
    for (const auto& c : cases) {
        test::DeleteTree(folder);
        Put(folder + L"a.log", std::string(size_t(c.bytes / 2), 'a'));
        Put(folder + L"sub\\b.log", std::string(size_t(c.bytes - c.bytes / 2), 'b'));
        test::TempDir gather;
        LoadOtherInfo(gather.Path(), c.limit);
        EXPECT_EQ(FileExists(gather.Path() + L"OtherInfo\\BDLogging\\a.log"), c.copied) << c.bytes;
        EXPECT_EQ(FileExists(gather.Path() + L"OtherInfo\\BDLogging\\sub\\b.log"), c.copied) << c.bytes;
    }
    test::DeleteTree(folder);
}

}  // namespace
}  // namespace pelmo
