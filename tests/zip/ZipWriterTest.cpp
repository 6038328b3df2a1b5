#include "zip/ZipWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "platform/Handles.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo::zip {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

// Text with long-range repeats and a pseudo-random binary part, so that
// chunk boundaries and the primed dictionary matter.
std::string Corpus(size_t size, uint32_t seed)
{
    std::string out;
    out.reserve(size);
    uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        if ((x >> 28) < 10)
            out += "2026-12-10 10:51:30.123  >>|CopyFile(C:\\Program Files\\Pelmo\\Molvane\\" +
                   std::to_string(x % 997) + ".log) succ|<<\r\n";
        else
            for (int i = 0; i < 64; ++i) out.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
    }
    out.resize(size);
    return out;
}

std::string Pack(const std::wstring& root, const std::wstring& archive, WriterOptions options, int* count = nullptr)
{
    ZipWriter w(archive, options);
    int n = w.AddFolder(root);
    w.Finish();
    if (count) *count = n;
    return ReadBytes(archive);
}

uint16_t U16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

std::string InflateRaw(const std::string& data)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    std::string out(64u << 20, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    int rc = inflate(&z, Z_FINISH);
    EXPECT_EQ(rc, Z_STREAM_END);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST(ZipWriter, SameBytesWhateverTheThreadCount)
{
    TempDir dir;
    std::wstring root = dir.Path() + L"root\\";
    WriteBytes(root + L"big.bin", Corpus(3u << 20, 7));
    WriteBytes(root + L"a.txt", Corpus(1000, 1));
    WriteBytes(root + L"empty.txt", "");
    for (int i = 0; i < 30; ++i) WriteBytes(root + L"sub\\f" + std::to_wstring(i) + L".log", Corpus(5000 + i * 300, i));
    WriterOptions one{1, 64 * 1024};
    WriterOptions four{4, 64 * 1024};
    WriterOptions tight{3, 64 * 1024, 256 * 1024};
    int n1 = 0, n4 = 0, n3 = 0;
    std::string a = Pack(root, dir.Path() + L"one.zip", one, &n1);
    std::string b = Pack(root, dir.Path() + L"four.zip", four, &n4);
    std::string c = Pack(root, dir.Path() + L"tight.zip", tight, &n3);
    EXPECT_EQ(n1, 33);
    EXPECT_EQ(n4, 33);
    EXPECT_EQ(n3, 33);
    EXPECT_FALSE(a.empty());
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a == c);
}

TEST(ZipWriter, ChunkedStreamInflatesToTheOriginal)
{
    TempDir dir;
    std::wstring root = dir.Path() + L"root\\";
    const std::string data = Corpus((5u << 20) + 12345, 3);
    WriteBytes(root + L"one.bin", data);
    std::string zip = Pack(root, dir.Path() + L"a.zip", WriterOptions{2, 40 * 1024});
    ASSERT_GT(zip.size(), 30u);
    ASSERT_EQ(zip.substr(0, 4), "PK\x03\x04");
    EXPECT_EQ(U16(zip, 4), 20);     // version needed
    EXPECT_EQ(U16(zip, 6), 0x0002); // maximum compression
    EXPECT_EQ(U16(zip, 8), 8);      // deflate
    const size_t start = 30 + U16(zip, 26) + U16(zip, 28);
    uint32_t crc = 0, csize = 0, usize = 0;
    std::memcpy(&crc, zip.data() + 14, 4);
    std::memcpy(&csize, zip.data() + 18, 4);
    std::memcpy(&usize, zip.data() + 22, 4);
    EXPECT_EQ(usize, data.size());
    EXPECT_EQ(crc, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size()))));
    EXPECT_TRUE(InflateRaw(zip.substr(start, csize)) == data);
}

TEST(ZipWriter, NoArchiveIsLeftWhenPackingDoesNotFinish)
{
    TempDir dir;
    std::wstring root = dir.Path() + L"root\\";
    WriteBytes(root + L"x.txt", Corpus(200000, 5));
    std::wstring archive = dir.Path() + L"out.zip";
    {
        ZipWriter w(archive);
        w.AddFolder(root);
    }
    EXPECT_FALSE(FileExists(archive));
    EXPECT_FALSE(FileExists(archive + L".part"));
    EXPECT_THROW(ZipWriter(dir.Path() + L"missing\\out.zip"), Error);
    EXPECT_FALSE(FileExists(dir.Path() + L"missing\\out.zip"));
}

TEST(ZipWriter, SkipsItsOwnArchiveAndUnreadableFiles)
{
    TempDir dir;
    std::wstring root = dir.Path();
    WriteBytes(root + L"keep.txt", "keep");
    WriteBytes(root + L"locked.txt", "locked");
    WriteBytes(root + L"old.zip", "old archive at the same path");
    UniqueFile lock(CreateFileW((root + L"locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    int count = 0;
    std::string zip = Pack(root, root + L"old.zip", WriterOptions{}, &count);
    EXPECT_EQ(count, 1);
    EXPECT_NE(zip.find("keep.txt"), std::string::npos);
    EXPECT_EQ(zip.find("locked.txt"), std::string::npos);
    EXPECT_EQ(zip.find("old.zip"), std::string::npos);
}

TEST(ZipWriter, LinkedFoldersAreNotWalked)
{
    TempDir dir;
    std::wstring outside = dir.Path() + L"outside\\";
    WriteBytes(outside + L"secret.txt", "outside the gather folder");
    std::wstring root = dir.Path() + L"root\\";
    WriteBytes(root + L"a.txt", "a");
    if (!test::MakeDirectoryLink(root + L"planted", ExcludeTrailingBackslash(outside)))
        GTEST_SKIP() << "this platform cannot make directory links";
    int count = 0;
    std::string zip = Pack(root, dir.Path() + L"l.zip", WriterOptions{}, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(zip.find("secret.txt"), std::string::npos);
}

TEST(ZipWriter, OemCodePageTest)
{
    EXPECT_TRUE(FitsOemCodePage(L"Pelmo_Debug_Info.txt"));
    EXPECT_TRUE(FitsOemCodePage(L"AppPath/Antivirus/versions.dat"));
    EXPECT_FALSE(FitsOemCodePage(L"\u65e5\u672c.log"));
    EXPECT_FALSE(FitsOemCodePage(L"\u0416.txt"));
}

}  // namespace
}  // namespace pelmo::zip

namespace pelmo::zip {
namespace {

// A read that fails part-way (as ReadFile does over a range another process
// has locked) leaves the whole entry out: the archive is byte for byte the
// one made without that file, and the file is listed with its reason.
TEST(ZipWriter, AnEntryWhoseReadFailsIsLeftOutWhole)
{
    struct Case {
        const char* what;
        uint64_t failAt;    // first offset a read of the victim fails at
        unsigned threads;
        size_t chunk;
    };
    const Case cases[] = {
        {"mid-file, many chunks written", 1u << 20, 2, 64u << 10},
        {"mid-file, one thread", 1u << 20, 1, 64u << 10},
        {"first read", 0, 3, 1u << 20},
        {"last chunk", 3u << 20, 2, 256u << 10},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::wstring full = dir.Path() + L"full\\", without = dir.Path() + L"without\\";
        for (const auto& root : {full, without}) {
            CreateDirectoryW(root.c_str(), nullptr);
            WriteBytes(root + L"a.txt", Corpus(70000, 1));
            WriteBytes(root + L"z.txt", Corpus(50000, 3));
        }
        const std::string victim = Corpus((3u << 20) + 12345, 2);
        WriteBytes(full + L"m.bin", victim);
        // The same times for both copies, so only the victim differs.
        for (const wchar_t* name : {L"a.txt", L"z.txt"}) {
            UniqueFile a(CreateFileW((full + name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            UniqueFile b(CreateFileW((without + name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            FILETIME t{0x12345678, 0x01D00000};
            ASSERT_TRUE(SetFileTime(a.get(), &t, &t, &t) && SetFileTime(b.get(), &t, &t, &t));
        }
        WriterOptions options;
        options.threads = c.threads;
        options.chunkBytes = c.chunk;
        const uint64_t victimSize = victim.size();
        options.read = [&](HANDLE h, void* buf, DWORD want, DWORD* got) -> BOOL {
            LARGE_INTEGER size{}, pos{}, zero{};
            GetFileSizeEx(h, &size);
            SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
            if (uint64_t(size.QuadPart) == victimSize && uint64_t(pos.QuadPart) + want > c.failAt) {
                // Whatever lies before the locked range is read first.
                DWORD before = DWORD(c.failAt > uint64_t(pos.QuadPart) ? c.failAt - uint64_t(pos.QuadPart) : 0);
                if (before) return ReadFile(h, buf, before, got, nullptr);
                *got = 0;
                SetLastError(ERROR_LOCK_VIOLATION);
                return FALSE;
            }
            return ReadFile(h, buf, want, got, nullptr);
        };
        int count = 0;
        std::string made;
        std::vector<SkippedFile> skipped;
        {
            ZipWriter w(dir.Path() + L"full.zip", options);
            count = w.AddFolder(full);
            w.Finish();
            skipped = w.Skipped();
            made = ReadBytes(dir.Path() + L"full.zip");
        }
        WriterOptions plain;
        plain.threads = c.threads;
        plain.chunkBytes = c.chunk;
        const std::string expected = Pack(without, dir.Path() + L"without.zip", plain);
        EXPECT_EQ(count, 2) << c.what;
        EXPECT_TRUE(made == expected) << c.what << ": " << made.size() << " vs " << expected.size();
        ASSERT_EQ(skipped.size(), 1u) << c.what;
        EXPECT_EQ(skipped[0].path, full + L"m.bin");
        EXPECT_EQ(skipped[0].reason,
                  Format(L"read error at offset %llu (error 33)", static_cast<unsigned long long>(c.failAt)))
            << c.what;
    }
}

// A file nobody may open is left out and named.
TEST(ZipWriter, AFileThatCannotBeOpenedIsListed)
{
    TempDir dir;
    const std::wstring root = dir.Path() + L"root\\";
    CreateDirectoryW(root.c_str(), nullptr);
    WriteBytes(root + L"free.txt", "free");
    WriteBytes(root + L"held.txt", "held");
    UniqueFile held(CreateFileW((root + L"held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ZipWriter w(dir.Path() + L"a.zip");
    EXPECT_EQ(w.AddFolder(root), 1);
    w.Finish();
    ASSERT_EQ(w.Skipped().size(), 1u);
    EXPECT_EQ(w.Skipped()[0].path, root + L"held.txt");
    EXPECT_EQ(w.Skipped()[0].reason, L"cannot be opened (error 32)");
}

}  // namespace
}  // namespace pelmo::zip
