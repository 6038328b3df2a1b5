#include "platform/Log.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/Handles.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::wstring AsUtf16(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

// Holds a file open for writing, as a second instance of the tool would.
UniqueFile LockForWriting(const std::wstring& path)
{
    return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(true); }
    void TearDown() override
    {
        SetLogFileName(L"");
        SetLoggingEnabled(false);
    }
    TempDir dir;
};

TEST_F(LogTest, NewFileStartsWithByteOrderMarkThenTimeStamp)
{
    std::wstring path = dir.Path() + L"Pelmo_Debug_Trevio.log";
    SetLogFileName(path);
    WriteLog(L"DoGatherInfo strart");
    WriteLog(L"second");
    std::string bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(uint8_t(bytes[0]), 0xFF);
    EXPECT_EQ(uint8_t(bytes[1]), 0xFE);
    std::wstring text = AsUtf16(bytes.substr(2));
    std::wregex line(LR"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  >>\|DoGatherInfo strart\|<<\r\n)"
                     LR"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  >>\|second\|<<\r\n)");
    EXPECT_TRUE(std::regex_match(text, line)) << ToUtf8(text);
}

TEST_F(LogTest, TextWithLineBreaksStaysInsideOneMarkerPair)
{
    std::wstring path = dir.Path() + L"x.log";
    SetLogFileName(path);
    WriteLog(L"GetFiles result:C:\\a\r\nC:\\b\r\n");
    std::wstring text = AsUtf16(ReadBytes(path).substr(2));
    EXPECT_EQ(text.substr(25), L">>|GetFiles result:C:\\a\r\nC:\\b\r\n|<<\r\n");
}

TEST_F(LogTest, LockedBaseFileMovesToNumberedAlternatives)
{
    std::wstring base = dir.Path() + L"Pelmo_Debug_Trevio.log";
    SetLogFileName(base);
    UniqueFile lock0 = LockForWriting(base);
    ASSERT_TRUE(lock0);
    WriteLog(L"first");
    std::wstring alt1 = dir.Path() + L"Pelmo_Debug_Trevio_1.log";
    EXPECT_NE(AsUtf16(ReadBytes(alt1)).find(L">>|first|<<"), std::wstring::npos);

    UniqueFile lock1 = LockForWriting(alt1);
    ASSERT_TRUE(lock1);
    WriteLog(L"second");
    std::wstring alt2 = dir.Path() + L"Pelmo_Debug_Trevio_2.log";
    EXPECT_NE(AsUtf16(ReadBytes(alt2)).find(L">>|second|<<"), std::wstring::npos);
    EXPECT_EQ(AsUtf16(ReadBytes(alt1)).find(L"second"), std::wstring::npos);

    lock0.reset();
    lock1.reset();
    WriteLog(L"third");
    EXPECT_NE(AsUtf16(ReadBytes(base)).find(L">>|third|<<"), std::wstring::npos);
}

TEST_F(LogTest, TrimsOnlyAboveTheLimit)
{
    struct Case {
        size_t size;
        size_t kept;
    };
    const Case cases[] = {{5242880, 5242880}, {5242881, 5242880}, {100, 100}};
    for (const auto& c : cases) {
        std::wstring path = dir.Path() + L"trim.log";
        std::string content(c.size, '\0');
        for (size_t i = 0; i < c.size; ++i) content[i] = char('a' + i % 26);
        content[0] = char(0xFF);
        content[1] = char(0xFE);
        WriteBytes(path, content);
        EXPECT_TRUE(TrimLogFile(path, kLogSizeLimit));
        std::string after = ReadBytes(path);
        EXPECT_EQ(after.size(), c.kept) << c.size;
        EXPECT_EQ(after, content.substr(c.size - c.kept)) << c.size;
    }
}

TEST_F(LogTest, TrimmedFileGetsNoNewByteOrderMark)
{
    std::wstring path = dir.Path() + L"big.log";
    std::string content(5242882, 'x');
    WriteBytes(path, content);
    SetLogFileName(path);
    WriteLog(L"after trim");
    std::string after = ReadBytes(path);
    ASSERT_GT(after.size(), 5242880u);
    EXPECT_EQ(after.substr(0, 4), "xxxx");
    EXPECT_NE(AsUtf16(after.substr(5242880)).find(L">>|after trim|<<"), std::wstring::npos);
}

TEST_F(LogTest, NothingIsWrittenWhenLoggingIsOff)
{
    std::wstring path = dir.Path() + L"off.log";
    SetLogFileName(path);
    SetLoggingEnabled(false);
    WriteLog(L"dropped");
    EXPECT_FALSE(FileExists(path));
}

TEST_F(LogTest, UnwritableFolderDropsTheLineSilently)
{
    // A file stands where the log's folder would be.
    WriteBytes(dir.Path() + L"blocker", "x");
    SetLogFileName(dir.Path() + L"blocker\\sub\\a.log");
    WriteLog(L"lost");
    EXPECT_FALSE(FileExists(dir.Path() + L"blocker\\sub\\a.log"));
}

TEST_F(LogTest, DetailLinesNeedTheMarkerFile)
{
    std::wstring path = dir.Path() + L"detail.log";
    {
        TLogObj writer(path);
        writer.Write(L"detail", true);
    }
    // Nothing written: the empty file is removed again.
    EXPECT_FALSE(FileExists(path));
}

TEST(LogSwitch, WholeArgumentMustBeTheSwitch)
{
    struct Case {
        std::vector<std::wstring> args;
        bool on;
    };
    const Case cases[] = {
        {{L"/LOG"}, true},   {{L"-log"}, true},         {{L"x", L"/Log"}, true}, {{L"LOG"}, false},
        {{L"/LOGX"}, false}, {{L"--LOG"}, false},       {{}, false},             {{L"\\LOG"}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(HasLogSwitch(c.args), c.on) << (c.args.empty() ? "" : ToUtf8(c.args[0]));
}

}  // namespace
}  // namespace pelmo
