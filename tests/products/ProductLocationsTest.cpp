#include "products/ProductLocations.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/AppFrame_New.h"
#include "platform/Handles.h"
#include "platform/Text.h"
#include "tests/fakes/TempDir.h"

namespace pelmo {
namespace {

const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring kPelmo = L"SOFTWARE\\Pelmo\\";

// Vendor keys in the 32-bit view of HKLM, files in a scratch folder; all
// removed afterwards, and the run state starts afresh for every case.
class Locations : public ::testing::Test {
public:
    void SetUp() override
    {
        Clean();
        ProductRun() = ProductRunState{};
    }
    void TearDown() override
    {
        Clean();
        ProductRun() = ProductRunState{};
    }
    void Clean()
    {
        for (const wchar_t* k : {L"Molvane_is1", L"Molvane Beta_is1", L"Molvane Ultimate_is1", L"Molvane 8_is1",
                                 L"Pelmo Gardex_is1"})
            RegDeleteTreeW(Open(kUninstall).get(), k);
        RegDeleteTreeW(Open(L"SOFTWARE").get(), L"Pelmo");
        DeleteFileW(ConfigIni().c_str());
        UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueSc svc(OpenServiceW(scm.get(), L"MolvaneService9", DELETE));
        if (svc) DeleteService(svc.get());
    }
    static UniqueHKey Open(const std::wstring& path)
    {
        UniqueHKey k;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                        k.put(), nullptr);
        return k;
    }
    static void SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value)
    {
        RegSetValueExW(Open(key).get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       DWORD((value.size() + 1) * 2));
    }
    std::wstring Folder(const std::wstring& rel)
    {
        std::wstring p = dir.Path() + rel;
        ForceDirectories(p);
        return IncludeTrailingBackslash(p);
    }
    static void AddService(const std::wstring& binaryPath)
    {
        UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueSc s(CreateServiceW(scm.get(), L"MolvaneService9", L"MolvaneService9", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                  binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(s);
    }
    static std::wstring ConfigIni()
    {
        return AppFrame().CommonAppDataDir + L"\\Pelmo\\Molvane\\AntivirusConfig.ini";
    }
    test::TempDir dir;
};

TEST_F(Locations, NoProductInstalled)
{
    for (const wchar_t* n : {L"Molvane_is1", L"Molvane Ultimate_is1", L"Pelmo Gardex_is1"})
        EXPECT_EQ(GetInstallLocation(n), L"") << n;
    FindAppPathFor(L"");
    EXPECT_EQ(AppPath(), L"");
    EXPECT_EQ(GetProductName(), L"Molvane");
    EXPECT_EQ(GetUninstallKeyName(), L"Molvane_is1");
    EXPECT_EQ(GetPrevUninstallKeyName(), L"Molvane 8_is1");
    EXPECT_EQ(GetPrevProductKeyName(), L"Molvane 8");
    EXPECT_EQ(GetServiceName(), L"MolvaneService9");
    EXPECT_EQ(InstallTargetName(), L"MLV9AppPath");
}

TEST_F(Locations, HostProcessFolderInTheLibraryBuild)
{
    FindAppPathFor(L"C:\\Program Files (x86)\\Pelmo\\Molvane\\Molvane.exe");
    EXPECT_EQ(AppPath(), L"C:\\Program Files (x86)\\Pelmo\\Molvane\\");
}

TEST_F(Locations, SearchOrderTable)
{
    struct Case {
        const char* name;
        std::function<void(Locations&)> setup;
        std::wstring expected;  // relative to the scratch folder, or "" for none
    };
    const Case cases[] = {
        {"release entry",
         [](Locations& t) { SetText(kUninstall + L"Molvane_is1", L"InstallLocation", t.Folder(L"rel")); }, L"rel\\"},
        {"release entry without a location: Beta not read, Ultimate key next",
         [](Locations& t) {
             SetText(kUninstall + L"Molvane_is1", L"DisplayName", L"Molvane");
             SetText(kUninstall + L"Molvane Beta_is1", L"InstallLocation", t.Folder(L"beta"));
             SetText(kPelmo + L"Molvane Ultimate", L"mlvuv9uninstallpath", t.Folder(L"ult") + L"unins000.exe");
         },
         L"ult\\"},
        {"a deleted folder: the product key next",
         [](Locations& t) {
             SetText(kUninstall + L"Molvane_is1", L"InstallLocation", t.dir.Path() + L"gone\\");
             SetText(kPelmo + L"Molvane", L"apppath", t.Folder(L"key") + L"Molvane.exe");
         },
         L"key\\"},
        {"a location that is no text counts as missing",
         [](Locations& t) {
             const DWORD v = 7;
             RegSetValueExW(Open(kUninstall + L"Molvane_is1").get(), L"InstallLocation", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&v), 4);
             SetText(kPelmo + L"Molvane", L"apppath", t.Folder(L"key2") + L"Molvane.exe");
         },
         L"key2\\"},
        {"quoted service path, then the quarantine path",
         [](Locations& t) {
             const std::wstring svcDir = t.Folder(L"svc");
             t.Folder(L"svc\\Antivirus");
             AddService(L"\"" + svcDir + L"MolvaneService.exe\" /run");
             t.Folder(L"Apps\\Tools\\Antivirus\\BackupRec");
             ForceDirectories(ExtractFileDir(ConfigIni()));
             test::WriteBytes(ConfigIni(), "[Antivirus]\r\nQuarantinePath=" +
                                               ToAnsi(t.dir.Path() + L"Apps\\Tools\\ANTIVIRUS\\BackupRec\\") + "\r\n");
         },
         L"Apps\\Tools\\"},
        {"misspelt quarantine folder",
         [](Locations& t) {
             t.Folder(L"Q\\Antivirus\\bakcuprec");
             ForceDirectories(ExtractFileDir(ConfigIni()));
             test::WriteBytes(ConfigIni(),
                              "[Antivirus]\r\nQuarantinePath=" + ToAnsi(t.dir.Path() + L"Q\\Antivirus\\bakcuprec") + "\r\n");
         },
         L"Q\\"},
        {"service folder with its engine",
         [](Locations& t) {
             const std::wstring svcDir = t.Folder(L"svc2");
             t.Folder(L"svc2\\Antivirus");
             AddService(svcDir + L"MolvaneService.exe");
         },
         L"svc2\\"},
    };
    for (const auto& c : cases) {
        Clean();
        ProductRun() = ProductRunState{};
        c.setup(*this);
        FindAppPathFor(L"");
        EXPECT_EQ(AppPath(), c.expected.empty() ? L"" : dir.Path() + c.expected) << c.name;
        EXPECT_EQ(GetProductName(), L"Molvane") << c.name;
    }
}

TEST_F(Locations, UltimateKeyOfTheOlderVersionSwitchesEveryName)
{
    SetText(kPelmo + L"Molvane Ultimate", L"mlvuv8uninstallpath", dir.Path() + L"missing\\unins000.exe");
    SetText(kPelmo + L"Molvane 8", L"apppath", Folder(L"v8") + L"Molvane.exe");
    FindAppPathFor(L"");
    EXPECT_EQ(AppPath(), dir.Path() + L"v8\\");
    EXPECT_EQ(GetProductName(), L"Molvane V8");
    EXPECT_EQ(GetServiceName(), L"MolvaneService8");
    EXPECT_EQ(GetUninstallKeyName(), L"Molvane 8_is1");
    EXPECT_EQ(GetPrevUninstallKeyName(), L"Molvane 7_is1");
    EXPECT_EQ(GetProductKeyName(), L"Molvane 8");
    EXPECT_EQ(InstallTargetName(), L"MLV8AppPath");
}

TEST_F(Locations, BetaEditionFromItsUpdateSettings)
{
    const std::wstring beta = Folder(L"beta");
    Folder(L"beta\\Update");
    test::WriteBytes(beta + L"Update\\Update.ini", "[Beta]\r\nValue=1\r\n");
    SetFileAttributesW((beta + L"Update\\Update.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    SetText(kUninstall + L"Molvane Beta_is1", L"InstallLocation", beta);
    const DWORD before = GetFileAttributesW((beta + L"Update\\Update.ini").c_str());
    ASSERT_TRUE(before & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(IsBetaEdition());
    EXPECT_EQ(GetProductDirName(), L"Molvane Beta");
    EXPECT_EQ(GetProductName(), L"Molvane Beta");
    EXPECT_EQ(GetProductKeyName(), L"Molvane Beta");
    EXPECT_EQ(GetUninstallKeyName(), L"Molvane Beta_is1");
    // Read without changing the vendor's file.
    EXPECT_EQ(GetFileAttributesW((beta + L"Update\\Update.ini").c_str()), before);
    SetFileAttributesW((beta + L"Update\\Update.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Locations, InstallLocationLookup)
{
    SetText(kUninstall + L"Pelmo Gardex_is1", L"Inno Setup: App Path", L"C:\\Gardex");
    EXPECT_EQ(GetInstallLocation(L"Pelmo Gardex_is1"), L"C:\\Gardex\\");
    // An empty InstallLocation wins over the Inno Setup value.
    SetText(kUninstall + L"Pelmo Gardex_is1", L"InstallLocation", L"");
    EXPECT_EQ(GetInstallLocation(L"Pelmo Gardex_is1"), L"");
    const DWORD v = 1;
    RegSetValueExW(Open(kUninstall + L"Molvane_is1").get(), L"InstallLocation", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&v), 4);
    EXPECT_EQ(GetInstallLocation(L"Molvane_is1"), L"");
    EXPECT_EQ(FolderPart(L"\"C:\\P\\s.exe\" /run"), L"\"C:\\P\\");
    EXPECT_EQ(FolderPart(L"C:"), L"C:");
    EXPECT_EQ(FolderPart(L"name"), L"");
}

}  // namespace
}  // namespace pelmo

#include "products/FileManifest.h"

namespace pelmo {
namespace {

TEST_F(Locations, FilesInfoSectionsOfMissingEmptyAndFilledEntries)
{
    // No entry: the heading alone.
    EXPECT_EQ(FilesInfoSection(1), (LineList{L"", L"===== Molvane 8 =====", L""}));
    // An entry without a location, or with a text-less one: nothing at all.
    SetText(kUninstall + L"Molvane Ultimate_is1", L"DisplayName", L"Molvane Ultimate");
    EXPECT_TRUE(FilesInfoSection(3).empty());
    const DWORD v = 1;
    RegSetValueExW(Open(kUninstall + L"Molvane_is1").get(), L"InstallLocation", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&v), 4);
    EXPECT_TRUE(FilesInfoSection(2).empty());
    // An entry with files: one line each, the anti-malware row with its time.
    const std::wstring gdx = Folder(L"gdx");
    test::WriteBytes(gdx + L"a.txt", "abc");
    SetText(kUninstall + L"Pelmo Gardex_is1", L"InstallLocation", ExcludeTrailingBackslash(gdx));
    LineList s = FilesInfoSection(4);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1], L"===== Pelmo Gardex =====");
    EXPECT_EQ(s[3].substr(0, s[3].find(L", DT:")), gdx + L"a.txt, , 3, 900150983cd24fb0d6963f7d28e17f72");
    EXPECT_NE(s[3].find(L", DT:"), std::wstring::npos);
}

}  // namespace
}  // namespace pelmo
