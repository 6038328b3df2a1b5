#include "platform/PSafeIniFile.h"

#include <gtest/gtest.h>

#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

TEST(IniFile, BareNameMeansTheCurrentFolder)
{
    TempDir dir;
    WriteBytes(dir.Path() + L"Update.ini", "[Beta]\r\nValue=1\r\n");
    wchar_t old[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old);
    SetCurrentDirectoryW(dir.Path().c_str());
    TIniFile ini(L"Update.ini", IniAccess::Read);
    EXPECT_EQ(ini.FileName(), L".\\Update.ini");
    EXPECT_EQ(ini.ReadInteger(L"Beta", L"Value", 0), 1);
    SetCurrentDirectoryW(old);
    EXPECT_EQ(ResolveIniPath(L"\\Update.ini"), L".\\\\Update.ini");
    EXPECT_EQ(ResolveIniPath(L"C:\\a.ini"), L"C:\\a.ini");
}

TEST(IniFile, LongValuesIntegersAndDefaults)
{
    TempDir dir;
    const std::string long5000(5000, 'q');
    WriteBytes(dir.Path() + L"a.ini", "[S]\r\nlong=" + long5000 + "\r\nhex=0x1F\r\nbad=12abc\r\ndec=-42\r\nempty=\r\n");
    TIniFile ini(dir.Path() + L"a.ini", IniAccess::Read);
    EXPECT_EQ(ini.ReadString(L"S", L"long", L""), std::wstring(5000, L'q'));
    struct Case {
        const wchar_t* key;
        int32_t value;
    };
    const Case cases[] = {{L"hex", 31}, {L"bad", 7}, {L"dec", -42}, {L"empty", 7}, {L"missing", 7}};
    for (const auto& c : cases) EXPECT_EQ(ini.ReadInteger(L"S", c.key, 7), c.value) << ToUtf8(c.key);
    EXPECT_EQ(ini.ReadString(L"S", L"missing", L"def"), L"def");
    EXPECT_EQ(ini.ReadString(L"NoSection", L"x", L"def"), L"def");
    TIniFile missing(dir.Path() + L"none.ini", IniAccess::Read);
    EXPECT_EQ(missing.ReadString(L"S", L"x", L"def"), L"def");
}

TEST(IniFile, DateTimeRoundTripInTheFixedForm)
{
    TempDir dir;
    TIniFile ini(dir.Path() + L"t.ini");
    SYSTEMTIME t{};
    t.wYear = 2023;
    t.wMonth = 12;
    t.wDay = 31;
    t.wMilliseconds = 500;
    EXPECT_EQ(FormatIniDateTime(t), L"12/31/2023 00:00:00:500");
    t.wHour = 17;
    t.wMinute = 4;
    t.wSecond = 9;
    ini.WriteDateTime(L"S", L"when", t);
    EXPECT_EQ(ini.ReadString(L"S", L"when", L""), L"12/31/2023 17:04:09:500");
    SYSTEMTIME def{};
    def.wYear = 2000;
    SYSTEMTIME back = ini.ReadDateTime(L"S", L"when", def);
    EXPECT_EQ(back.wYear, 2023);
    EXPECT_EQ(back.wMonth, 12);
    EXPECT_EQ(back.wDay, 31);
    EXPECT_EQ(back.wHour, 17);
    EXPECT_EQ(back.wMinute, 4);
    EXPECT_EQ(back.wSecond, 9);
    EXPECT_EQ(back.wMilliseconds, 0);  // the ":zzz" part is not read back
    ini.WriteString(L"S", L"dayfirst", L"31/12/2023");
    EXPECT_EQ(ini.ReadDateTime(L"S", L"dayfirst", def).wYear, 2000);
    ini.WriteString(L"S", L"pm", L"1/2/2024 3:15 PM");
    EXPECT_EQ(ini.ReadDateTime(L"S", L"pm", def).wHour, 15);
    ini.EraseSection(L"S");
    EXPECT_EQ(ini.ReadString(L"S", L"when", L"gone"), L"gone");
}

TEST(IniFile, ReadingChangesNothingOnDisk)
{
    TempDir dir;
    const std::wstring file = dir.Path() + L"AntivirusConfig.ini";
    WriteBytes(file, "[Antivirus]\r\nQuarantinePath=D:\\Apps\\Tools\\ANTIVIRUS\\BackupRec\\\r\n");
    const DWORD attrs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    SetFileAttributesW(file.c_str(), attrs);
    {
        TIniFile ini(file, IniAccess::Read);
        EXPECT_EQ(ini.ReadString(L"Antivirus", L"QuarantinePath", L""), L"D:\\Apps\\Tools\\ANTIVIRUS\\BackupRec\\");
    }
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & attrs, attrs);
    TIniFile reader(dir.Path() + L"no\\such\\folder\\x.ini", IniAccess::Read);
    EXPECT_FALSE(DirectoryExists(dir.Path() + L"no"));

    // An object that writes clears the attributes and creates the folder.
    TIniFile writer(file);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & attrs, 0u);
    TIniFile maker(dir.Path() + L"new\\deeper\\x.ini");
    EXPECT_TRUE(DirectoryExists(dir.Path() + L"new\\deeper"));
    maker.WriteInteger(L"A", L"b", 5);
    maker.UpdateFile();
    EXPECT_EQ(maker.ReadInteger(L"A", L"b", 0), 5);
}

}  // namespace
}  // namespace pelmo
