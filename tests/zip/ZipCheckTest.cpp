#include "zip/ZipCheck.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/Handles.h"
#include "tests/fakes/TempDir.h"
#include "zip/ZipWriter.h"

namespace pelmo::zip {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::string Noise(size_t size, uint32_t seed)
{
    std::string out(size, '\0');
    for (auto& c : out) c = char((seed = seed * 1664525u + 1013904223u) >> 24);
    return out;
}

// A folder of a few files: text, an empty file, and noise across chunks.
void Fill(const std::wstring& root)
{
    WriteBytes(root + L"a.txt", std::string(5000, 'a') + "end");
    WriteBytes(root + L"empty.log", "");
    WriteBytes(root + L"sub\\noise.bin", Noise(3u << 20, 7));
    WriteBytes(root + L"z.ini", "[s]\r\nk=v\r\n");
}

// Offset of the central record of the entry with this name.
size_t CentralRecordOf(const std::string& zip, const std::string& name)
{
    for (size_t at = zip.find("PK\1\2"); at != std::string::npos; at = zip.find("PK\1\2", at + 1))
        if (zip.compare(at + 46, name.size(), name) == 0) return at;
    return std::string::npos;
}

// Offset of the local header of the entry with this name.
size_t LocalHeaderOf(const std::string& zip, const std::string& name)
{
    for (size_t at = zip.find("PK\3\4"); at != std::string::npos; at = zip.find("PK\3\4", at + 1))
        if (zip.compare(at + 30, name.size(), name) == 0) return at;
    return std::string::npos;
}

void Rewrite(const std::wstring& path, const std::function<void(std::string&)>& change)
{
    std::string bytes = ReadBytes(path);
    change(bytes);
    WriteBytes(path, bytes);
}

TEST(ZipCheck, ArchivesOfTheWriterReadBackWhole)
{
    TempDir dir;
    Fill(dir.Path() + L"in\\");
    const std::wstring archive = dir.Path() + L"out.zip";
    WriterOptions options;
    options.chunkBytes = 256u << 10;
    ZipWriter w(archive, options);
    EXPECT_EQ(w.AddFolder(dir.Path() + L"in\\"), 4);
    w.Finish();
    CheckResult r = CheckArchive(archive);
    EXPECT_TRUE(r.ok) << ToUtf8(r.entry) << ": " << ToUtf8(r.reason);
    EXPECT_EQ(r.entries, 4u);
}

TEST(ZipCheck, ADamagedArchiveIsNeverMovedIntoPlace)
{
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        std::wstring entry;  // the entry to blame, empty when none is
    };
    // The noise file is stored nearly as is, so a flipped byte in its middle
    // changes the output without breaking the deflate structure.
    const Case cases[] = {
        {"a byte of stored-block data",
         [](std::string& z) { z[LocalHeaderOf(z, "sub/noise.bin") + 30 + 13 + 1000000] ^= 0x55; }, L"sub/noise.bin"},
        {"the deflate stream of a text file",
         [](std::string& z) {
             size_t at = LocalHeaderOf(z, "a.txt") + 30 + 5;
             for (int i = 0; i < 8; ++i) z[at + i] = char(0xFF);
         },
         L"a.txt"},
        {"a CRC in the central directory",
         [](std::string& z) { z[CentralRecordOf(z, "z.ini") + 16] ^= 0x01; }, L"z.ini"},
        {"an uncompressed size in the central directory",
         [](std::string& z) { z[CentralRecordOf(z, "z.ini") + 24] ^= 0x01; }, L"z.ini"},
        {"a local header's signature", [](std::string& z) { z[LocalHeaderOf(z, "empty.log")] = 'X'; },
         L"empty.log"},
        {"the end of the archive cut off", [](std::string& z) { z.resize(z.size() - 10); }, L""},
        {"the data cut short",
         [](std::string& z) {
             const size_t cd = z.find("PK\1\2");
             z.erase(cd - 100, 100);
         },
         L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Fill(dir.Path() + L"in\\");
        const std::wstring archive = dir.Path() + L"out.zip";
        WriterOptions options;
        options.beforeCheck = [&](const std::wstring& side) { Rewrite(side, c.damage); };
        ZipWriter w(archive, options);
        w.AddFolder(dir.Path() + L"in\\");
        try {
            w.Finish();
            ADD_FAILURE() << "the damaged archive passed its check";
        } catch (const ArchiveCheckError& e) {
            if (!c.entry.empty()) {
                EXPECT_EQ(e.Entry(), c.entry) << ToUtf8(e.Message());
            }
            EXPECT_NE(e.Message().find(L"Archive check failed"), std::wstring::npos);
        }
        EXPECT_FALSE(FileExists(archive));
        EXPECT_FALSE(FileExists(archive + L".part"));
    }
}

TEST(ZipCheck, StoredEntriesAndNonArchives)
{
    TempDir dir;
    // A one-entry archive with a stored entry, written by hand.
    auto le = [](std::string& b, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(char((v >> (8 * i)) & 0xFF));
    };
    const uint32_t crc = 0xD8932AAC;  // of "hi"
    std::string zip = "PK\3\4";
    for (uint32_t v : {10u, 0u, 0u, 0u, 0x21u}) le(zip, v, 2);
    le(zip, crc, 4), le(zip, 2, 4), le(zip, 2, 4), le(zip, 1, 2), le(zip, 0, 2);
    zip += "xhi";
    const size_t cd = zip.size();
    zip += "PK\1\2";
    for (uint32_t v : {20u, 10u, 0u, 0u, 0u, 0x21u}) le(zip, v, 2);
    le(zip, crc, 4), le(zip, 2, 4), le(zip, 2, 4);
    for (uint32_t v : {1u, 0u, 0u, 0u, 0u}) le(zip, v, 2);
    le(zip, 0, 4), le(zip, 0, 4);
    zip += "x";
    const size_t cdSize = zip.size() - cd;
    zip += "PK\5\6";
    for (uint32_t v : {0u, 0u, 1u, 1u}) le(zip, v, 2);
    le(zip, uint32_t(cdSize), 4), le(zip, uint32_t(cd), 4), le(zip, 0, 2);
    WriteBytes(dir.Path() + L"stored.zip", zip);
    CheckResult r = CheckArchive(dir.Path() + L"stored.zip");
    EXPECT_TRUE(r.ok) << ToUtf8(r.reason);
    EXPECT_EQ(r.entries, 1u);

    zip[30 + 1] = 'H';
    WriteBytes(dir.Path() + L"stored.zip", zip);
    r = CheckArchive(dir.Path() + L"stored.zip");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.entry, L"x");

    WriteBytes(dir.Path() + L"text.zip", "not an archive at all");
    EXPECT_FALSE(CheckArchive(dir.Path() + L"text.zip").ok);
    WriteBytes(dir.Path() + L"empty.zip", "");
    EXPECT_FALSE(CheckArchive(dir.Path() + L"empty.zip").ok);
    EXPECT_FALSE(CheckArchive(dir.Path() + L"missing.zip").ok);
}

}  // namespace
}  // namespace pelmo::zip
