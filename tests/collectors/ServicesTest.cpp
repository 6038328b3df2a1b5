#include "collectors/Services.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <winsvc.h>

#include "platform/Handles.h"
#include "platform/RegistryClassEx.h"

namespace pelmo {
namespace {

class FakeServices : public IServiceSource {
public:
    bool enumerateOk = true;
    std::vector<ServiceEntry> services;
    std::map<std::wstring, std::pair<DWORD, std::wstring>> configs;
    std::map<std::wstring, std::wstring> files;  // existing file -> version
    mutable std::vector<std::wstring> expanded;

    bool Enumerate(std::vector<ServiceEntry>& out) const override
    {
        out = services;
        return enumerateOk;
    }
    bool Config(const std::wstring& name, DWORD& start, std::wstring& path) const override
    {
        auto it = configs.find(name);
        if (it == configs.end()) return false;
        start = it->second.first;
        path = it->second.second;
        return true;
    }
    bool FileExists(const std::wstring& p) const override { return files.count(p) != 0; }
    bool Expand(const std::wstring& p, std::wstring& out) const override
    {
        expanded.push_back(p);
        out = ReplaceAllText(p, L"%SystemRoot%", L"C:\\Windows");
        return true;
    }
    std::wstring FixedVersion(const std::wstring& p) const override { return files.at(p); }
};

TEST(ServicesLine, ColumnsAndPadding)
{
    ServiceEntry e{L"svc", L"Pelmo Service", 0x10, 4, 0};
    EXPECT_EQ(ServiceLine(e, 2, L"C:\\P\\s.exe", L"Ver:9.0.0.1"),
              L"Pelmo Service                  10  4  0 2 C:\\P\\s.exe Ver:9.0.0.1");
    ServiceEntry longName{L"x", L"A display name that is quite long", 0x1, 1, 1077};
    EXPECT_EQ(ServiceLine(longName, 3, L"", L""), L"A display name that is quite long 1  1  1077 3  ");
    ServiceEntry negative{L"x", L"N", 0x120, 1, DWORD(-1)};
    EXPECT_EQ(ServiceLine(negative, 4, L"p", L""), L"N                              120  1  -1 4 p ");
}

TEST(ServicesVersion, ImagePathsAreLookedUpWhereWindowsFindsThem)
{
    FakeServices s;
    s.files[L"C:\\Windows\\System32\\drivers\\x.sys"] = L"10.0.1.2";
    s.files[L"C:\\Windows\\System32\\drivers\\y.sys"] = L"";
    s.files[L"C:\\Drivers\\z.sys"] = L"3.3.3.3";
    struct Case {
        const wchar_t* path;
        const wchar_t* version;
    };
    const Case cases[] = {
        {L"\\SystemRoot\\System32\\drivers\\x.sys", L"Ver:10.0.1.2"},
        {L"\\systemroot\\System32\\drivers\\x.sys", L"Ver:10.0.1.2"},
        {L"System32\\drivers\\y.sys", L"Ver:"},
        {L"\\??\\C:\\Drivers\\z.sys", L"Ver:3.3.3.3"},
        {L"C:\\Drivers\\z.sys", L"Ver:3.3.3.3"},
        {L"\"C:\\Drivers\\z.sys\"", L""},
        {L"C:\\Windows\\system32\\svchost.exe -k netsvcs", L""},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ServiceVersionText(s, c.path), c.version) << ToUtf8(c.path);
    s.expanded.clear();
    ServiceVersionText(s, L"\\SystemRoot\\System32\\drivers\\x.sys");
    ASSERT_EQ(s.expanded.size(), 1u);
    EXPECT_EQ(s.expanded[0], L"%SystemRoot%\\System32\\drivers\\x.sys");
}

TEST(ServicesBlock, SeparatorLinesAndFailures)
{
    FakeServices s;
    s.services = {{L"a", L"Alpha", 0x10, 4, 0}, {L"b", L"Beta", 0x1, 1, 0}};
    s.configs[L"a"] = {2, L"\\SystemRoot\\System32\\drivers\\x.sys"};
    s.files[L"C:\\Windows\\System32\\drivers\\x.sys"] = L"1.0.0.0";
    LineList list{L"before"};
    EnumServicesFrom(s, list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], std::wstring(81, L'*'));
    // The line shows the path as stored.
    EXPECT_EQ(list[2], L"Alpha                          10  4  0 2 \\SystemRoot\\System32\\drivers\\x.sys Ver:1.0.0.0");
    EXPECT_EQ(list[3], L"Beta                           1  1  0 0  ");
    s.enumerateOk = false;
    LineList none;
    EnumServicesFrom(s, none);
    EXPECT_TRUE(none.empty());
}

TEST(ServicesReal, BlockOfThisMachineWithAServiceOfOurOwn)
{
    const std::wstring image = ApplicationFolder() + L"fixtures\\ver_full.dll";
    const std::wstring name = Format(L"PelmoTestSvc%lu", GetCurrentProcessId());
    const std::wstring display = L"Pelmo test service with a long display name";
    UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    UniqueSc svc(CreateServiceW(scm.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(svc) << GetLastError();
    LineList list;
    EnumServices(list);
    DeleteService(svc.get());
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0], std::wstring(81, L'*'));
    const std::wstring expected = display + L" 10  1  " + std::to_wstring(ERROR_SERVICE_NEVER_STARTED) + L" 3 " + image +
                                  L" Ver:10.2.65535.1";
    const std::wstring alt = display + L" 10  1  0 3 " + image + L" Ver:10.2.65535.1";
    bool found = std::find(list.begin(), list.end(), expected) != list.end() ||
                 std::find(list.begin(), list.end(), alt) != list.end();
    EXPECT_TRUE(found);
    if (!found)
        for (const auto& l : list)
            if (l.find(L"Pelmo test") != std::wstring::npos) ADD_FAILURE() << ToUtf8(l);
    std::wregex shape(LR"(^.{30,} [0-9A-F]+  \d+  -?\d+ \d+ .* (Ver:[\d.]*)?$)");
    for (size_t i = 1; i < list.size(); ++i) EXPECT_TRUE(std::regex_match(list[i], shape)) << ToUtf8(list[i]);
}

TEST(ServicesReal, DriverUnderSystemRootShowsItsStoredPathAndVersion)
{
    wchar_t sys[MAX_PATH] = {};
    GetSystemDirectoryW(sys, MAX_PATH);
    const std::wstring file = Format(L"pelmotest%lu.sys", GetCurrentProcessId());
    const std::wstring target = std::wstring(sys) + L"\\drivers\\" + file;
    {
        LoadWOW64Funcs();  // as the driver does at the start of a run
        Wow64RedirectionOff off;  // the real system folder, also from a 32-bit build
        ASSERT_TRUE(CopyFileW((ApplicationFolder() + L"fixtures\\ver_full.dll").c_str(), target.c_str(), FALSE));
    }
    const std::wstring stored = L"\\SystemRoot\\System32\\drivers\\" + file;
    const std::wstring name = Format(L"PelmoTestDrv%lu", GetCurrentProcessId());
    const std::wstring display = L"Pelmo test driver, a display name of 31+ characters";
    UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    UniqueSc svc(CreateServiceW(scm.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, stored.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr));
    ASSERT_TRUE(svc) << GetLastError();
    LineList list;
    EnumServices(list);
    DeleteService(svc.get());
    {
        Wow64RedirectionOff off;
        DeleteFileW(target.c_str());
    }
    auto line = std::find_if(list.begin(), list.end(), [&](const std::wstring& l) { return l.rfind(display, 0) == 0; });
    ASSERT_NE(line, list.end());
    EXPECT_EQ(line->substr(display.size()), L" 1  1  " + line->substr(display.size() + 7, line->find(L" 3 ") - display.size() - 7) +
                                                L" 3 " + stored + L" Ver:10.2.65535.1")
        << ToUtf8(*line);
}

}  // namespace
}  // namespace pelmo
