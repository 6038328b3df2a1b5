#include "platform/AppFrame_New.h"

#include <gtest/gtest.h>

#include <cstring>

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

namespace pelmo {
namespace {

// A version-block node: length, value length, type, key, value, children.
std::string Node(const std::wstring& key, const std::string& value, const std::string& children, WORD type = 0,
                 int lengthDelta = 0)
{
    std::string b(6, '\0');
    b.append(reinterpret_cast<const char*>(key.c_str()), (key.size() + 1) * 2);
    while (b.size() % 4) b.push_back('\0');
    b += value;
    while (b.size() % 4) b.push_back('\0');
    b += children;
    const WORD length = WORD(int(b.size()) + lengthDelta);
    const WORD valueLength = WORD(type == 1 ? value.size() / 2 : value.size());
    std::memcpy(&b[0], &length, 2);
    std::memcpy(&b[2], &valueLength, 2);
    std::memcpy(&b[4], &type, 2);
    return b;
}

// The block placed right before a page nobody may read: any read past its
// end faults at once.
class GuardedBlock {
public:
    explicit GuardedBlock(const std::string& bytes)
    {
        const size_t pages = (bytes.size() + kPage - 1) / kPage + 1;
        m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, (pages + 1) * kPage, MEM_COMMIT | MEM_RESERVE,
                                                 PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(m_base + pages * kPage, kPage, PAGE_NOACCESS, &old);
        m_data = m_base + pages * kPage - bytes.size();
        std::memcpy(m_data, bytes.data(), bytes.size());
        m_size = bytes.size();
    }
    ~GuardedBlock() { VirtualFree(m_base, 0, MEM_RELEASE); }
    const BYTE* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    static constexpr size_t kPage = 4096;
    BYTE* m_base = nullptr;
    BYTE* m_data = nullptr;
    size_t m_size = 0;
};

TEST(FileVersion, MalformedBlocksAreReadWithinTheirOwnLengths)
{
    const std::string table = Node(L"040904B0", "", Node(L"FileVersion", std::string("1\0\0\0", 4), "", 1));
    const std::string sfi = Node(L"StringFileInfo", "", table);
    const std::string fixed(52, '\x01');
    const std::string good = Node(L"VS_VERSION_INFO", fixed, sfi);
    std::string noNul = good.substr(0, 6) + std::string(200, 'A');  // a key that never ends
    noNul[0] = char(noNul.size());
    std::string zeroChild = Node(L"VS_VERSION_INFO", fixed, std::string(64, '\0'));
    std::string childTooLong = Node(L"VS_VERSION_INFO", fixed, Node(L"StringFileInfo", "", table, 0, 400));
    std::string valueTooLong = Node(L"VS_VERSION_INFO", std::string(8, 'v'), sfi);
    valueTooLong[2] = char(0xF0);
    std::string tableKeyUnended = Node(L"VS_VERSION_INFO", fixed, Node(L"StringFileInfo", "", std::string(6, '\x10') +
                                                                                          std::string(30, 'B')));
    struct Case {
        const char* what;
        std::string bytes;
        std::wstring key;
    };
    const Case cases[] = {
        {"well formed", good, L"040904B0"},
        {"truncated in the table", good.substr(0, good.size() - 20), L""},
        {"truncated in the root key", good.substr(0, 12), L""},
        {"shorter than a header", good.substr(0, 5), L""},
        {"empty", "", L""},
        {"root length beyond the block", good.substr(0, good.size() - 1), L""},
        {"a key without its NUL", noNul, L""},
        {"zero-length children", zeroChild, L""},
        {"a child longer than its parent", childTooLong, L""},
        {"a value longer than its node", valueTooLong, L""},
        {"a table key without its NUL", tableKeyUnended, L""},
    };
    for (const Case& c : cases) {
        GuardedBlock block(c.bytes);
        EXPECT_EQ(FirstStringTableKey(block.Data(), block.Size()), c.key) << c.what;
    }
}

}  // namespace
}  // namespace pelmo
