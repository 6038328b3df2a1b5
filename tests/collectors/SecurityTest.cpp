#include <gtest/gtest.h>

#include <map>

#include "collectors/uFireWallMgr.h"
#include "collectors/uWMI_WSC.h"

namespace pelmo {
namespace {

// Security Center answers as a Windows machine gives them.
class FakeSecurityCenter : public ISecurityCenterSource {
public:
    bool connects = true;
    bool newer = true;
    std::map<std::wstring, std::vector<WmiRow>> answers;  // query -> objects
    std::vector<std::wstring> failing;                    // queries that fail
    std::vector<std::wstring> asked;
    int connectCalls = 0;

    bool Connect() override
    {
        ++connectCalls;
        return connects;
    }
    bool NewerNamespace() const override { return newer; }
    bool Query(const std::wstring& wql, const std::vector<std::wstring>& properties,
               std::vector<WmiRow>& rows) override
    {
        asked.push_back(wql);
        std::wstring expected = newer ? L"displayName,productState"
                                      : L"displayName,onAccessScanningEnabled,productUptoDate";
        std::wstring got;
        for (const auto& p : properties) got += (got.empty() ? L"" : L",") + p;
        EXPECT_EQ(got, expected);
        for (const auto& f : failing)
            if (f == wql) return false;
        rows = answers[wql];
        return true;
    }
};

// The firewall objects: profile states, and a record of each call.
class FakeFirewall : public IFirewallSource {
public:
    std::map<long, bool> byType;      // older interface, GetProfileByType
    bool current = true;              // older interface, CurrentProfile
    std::map<long, bool> policy2;     // newer interface
    bool managerFails = false;
    bool comErrors = false;           // every query fails with a COM error
    bool otherErrors = false;         // every query raises something else
    std::vector<std::wstring> calls;

    void EnsureService(const std::wstring& name) override { calls.push_back(L"ensure " + name); }
    void CreateManager() override
    {
        calls.push_back(L"create");
        if (managerFails) throw FirewallComError{E_FAIL};
    }
    void ReleaseManager() override { calls.push_back(L"release"); }
    bool CurrentProfileEnabled() override
    {
        calls.push_back(L"current");
        Fail();
        return current;
    }
    bool ProfileByTypeEnabled(long t) override
    {
        calls.push_back(L"type " + std::to_wstring(t));
        Fail();
        return byType.at(t);
    }
    bool Policy2Enabled(long p) override
    {
        calls.push_back(L"policy2 " + std::to_wstring(p));
        Fail();
        return policy2.at(p);
    }

private:
    void Fail()
    {
        if (comErrors) throw FirewallComError{E_ACCESSDENIED};
        if (otherErrors) throw std::runtime_error("not a COM error");
    }
};

OSVERSIONINFOEXW Version(DWORD major, DWORD minor)
{
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    return v;
}

WmiRow NewerRow(const wchar_t* name, const wchar_t* state) { return {{name, {}}, {state, {}}}; }

std::wstring Joined(const LineList& lines)
{
    std::wstring out;
    for (const auto& l : lines) out += l + L"\n";
    return out;
}

TEST(SecurityProductState, DecodingTable)
{
    struct Case {
        const wchar_t* text;
        const wchar_t* enabled;
        const wchar_t* upToDate;
    };
    const Case cases[] = {
        {L"397568", L"Enabled=True(00061100)", L"UptoDate=True"},     // 0x61100
        {L"393232", L"Enabled=False(00060010)", L"UptoDate=False"},   // 0x60010
        {L"266240", L"Enabled=True(00041000)", L"UptoDate=True"},     // 0x41000
        {L"266256", L"Enabled=True(00041010)", L"UptoDate=False"},    // 0x41010
        {L"", L"Enabled=False(00000000)", L"UptoDate=True"},          // not a number
        {L"0x61100", L"Enabled=False(00000000)", L"UptoDate=True"},   // hex text is not decimal
        {L"4294967295", L"Enabled=True(FFFFFFFF)", L"UptoDate=False"},
    };
    for (const auto& c : cases) {
        LineList list;
        AppendProductGroup(list, NewerRow(L"Defender", c.text), true);
        ASSERT_EQ(list.size(), 4u) << c.text;
        EXPECT_EQ(list[0], L"") << c.text;
        EXPECT_EQ(list[1], L"Name:Defender") << c.text;
        EXPECT_EQ(list[2], c.enabled) << c.text;
        EXPECT_EQ(list[3], c.upToDate) << c.text;
    }
}

TEST(SecurityProductState, OlderNamespaceFlags)
{
    LineList list;
    AppendProductGroup(list, {{L"Old AV", {}}, {L"True", true}, {L"False", false}}, false);
    EXPECT_EQ(Joined(list), L"\nName:Old AV\nEnabled=True\nUptoDate=False\n");
    // A property that is no flag ends the block (the driver's guard keeps
    // what came before).
    LineList broken;
    EXPECT_THROW(AppendProductGroup(broken, {{L"X", {}}, {L"", {}}, {L"True", true}}, false), Error);
}

TEST(SecurityBlock, ThreeProductFamiliesAndTheFirewall)
{
    FakeSecurityCenter wsc;
    wsc.answers[L"SELECT * FROM AntiVirusProduct"] = {NewerRow(L"Pelmo Antivirus", L"397568"),
                                                      NewerRow(L"Windows Defender", L"393232")};
    wsc.answers[L"SELECT * FROM FirewallProduct"] = {NewerRow(L"Pelmo Firewall", L"266240")};
    FakeFirewall fw;
    fw.byType = {{kFwProfileStandard, true}, {kFwProfileCurrent, false}};
    fw.policy2 = {{kFwProfile2Private, true}, {kFwProfile2Public, true}};
    LineList list;
    GetWSCInfoFrom(list, wsc, [&] { return std::make_unique<TFireWallMgr>(fw, L"Windows 10", Version(10, 0)); });
    EXPECT_EQ(Joined(list),
              L"[AntiVirusProduct]\n"
              L"\nName:Pelmo Antivirus\nEnabled=True(00061100)\nUptoDate=True\n"
              L"\nName:Windows Defender\nEnabled=False(00060010)\nUptoDate=False\n"
              L"\n[AntiSpywareProduct]\n"
              L"\n[FirewallProduct]\n"
              L"\nName:Pelmo Firewall\nEnabled=True(00041000)\nUptoDate=True\n"
              L"\n[Windows FireWall]\n"
              L"HomeNetFwEnabled=True\nPublicNetFwEnabled=False\nFireWallEnabled=True\n");
    EXPECT_EQ(wsc.asked.size(), 3u);
}

TEST(SecurityBlock, NoNamespaceOrFailingQueryGivesHeadersOnly)
{
    FakeFirewall fw;
    fw.byType = {{kFwProfileStandard, false}, {kFwProfileCurrent, false}};
    fw.policy2 = {{kFwProfile2Private, false}, {kFwProfile2Public, true}};
    auto make = [&] { return std::make_unique<TFireWallMgr>(fw, L"Windows 10", Version(10, 0)); };
    const std::wstring headers = L"[AntiVirusProduct]\n\n[AntiSpywareProduct]\n\n[FirewallProduct]\n"
                                 L"\n[Windows FireWall]\n"
                                 L"HomeNetFwEnabled=False\nPublicNetFwEnabled=False\nFireWallEnabled=False\n";

    FakeSecurityCenter none;
    none.connects = false;
    LineList list;
    GetWSCInfoFrom(list, none, make);
    EXPECT_EQ(Joined(list), headers);
    EXPECT_TRUE(none.asked.empty());
    EXPECT_EQ(none.connectCalls, 3);  // every block tries again

    FakeSecurityCenter failing;
    failing.failing = {L"SELECT * FROM AntiVirusProduct", L"SELECT * FROM AntiSpywareProduct",
                       L"SELECT * FROM FirewallProduct"};
    failing.answers[L"SELECT * FROM AntiVirusProduct"] = {NewerRow(L"never shown", L"1")};
    LineList list2;
    GetWSCInfoFrom(list2, failing, make);
    EXPECT_EQ(Joined(list2), headers);
}

TEST(SecurityBlock, ABrokenProductEndsOnlyItsOwnBlock)
{
    FakeSecurityCenter wsc;
    wsc.newer = false;
    wsc.answers[L"SELECT * FROM AntiVirusProduct"] = {{{L"Good", {}}, {L"True", true}, {L"True", true}},
                                                      {{L"Broken", {}}, {L"", {}}, {L"", {}}},
                                                      {{L"After", {}}, {L"True", true}, {L"True", true}}};
    wsc.answers[L"SELECT * FROM AntiSpywareProduct"] = {{{L"Spy", {}}, {L"False", false}, {L"True", true}}};
    FakeFirewall fw;
    fw.current = true;
    LineList list;
    GetWSCInfoFrom(list, wsc, [&] { return std::make_unique<TFireWallMgr>(fw, L"Windows XP", Version(5, 1)); });
    EXPECT_EQ(Joined(list),
              L"[AntiVirusProduct]\n\nName:Good\nEnabled=True\nUptoDate=True\n\nName:Broken\n"
              L"\n[AntiSpywareProduct]\n\nName:Spy\nEnabled=False\nUptoDate=True\n"
              L"\n[FirewallProduct]\n"
              L"\n[Windows FireWall]\nHomeNetFwEnabled=True\nPublicNetFwEnabled=True\nFireWallEnabled=True\n");
}

TEST(SecurityFirewall, LevelsAndServiceNames)
{
    struct Case {
        DWORD major, minor;
        int level;
        const wchar_t* service;
    };
    const Case cases[] = {{5, 1, 0, L"SharedAccess"}, {5, 2, 0, L"SharedAccess"}, {6, 0, 1, L"MpsSvc"},
                          {6, 1, 2, L"MpsSvc"},       {6, 2, 3, L"MpsSvc"},       {10, 0, 3, L"MpsSvc"}};
    FakeFirewall fw;
    for (const auto& c : cases) {
        TFireWallMgr m(fw, L"", Version(c.major, c.minor));
        EXPECT_EQ(m.OsLevel(), c.level) << c.major << "." << c.minor;
        EXPECT_EQ(m.ServiceName(), c.service) << c.major << "." << c.minor;
    }
}

TEST(SecurityFirewall, WindowsSevenWithThePrivateProfileOffNeverReadsPublic)
{
    FakeFirewall fw;
    fw.policy2 = {{kFwProfile2Private, false}, {kFwProfile2Public, true}};
    TFireWallMgr m(fw, L"Windows 7", Version(6, 1));
    EXPECT_FALSE(m.OverallFirewallEnabled());
    EXPECT_EQ(fw.calls, (std::vector<std::wstring>{L"ensure MpsSvc", L"policy2 2"}));

    fw.calls.clear();
    fw.policy2[kFwProfile2Private] = true;
    fw.policy2[kFwProfile2Public] = false;
    EXPECT_FALSE(m.OverallFirewallEnabled());
    EXPECT_EQ(fw.calls, (std::vector<std::wstring>{L"ensure MpsSvc", L"policy2 2", L"policy2 4"}));
}

TEST(SecurityFirewall, OlderInterfacesByLevelAndName)
{
    // Windows XP: both lines report the current profile; Vista is not one of
    // the names that take the newer interface.
    FakeFirewall xp;
    xp.current = false;
    {
        TFireWallMgr m(xp, L"Windows XP", Version(5, 1));
        EXPECT_FALSE(m.HomeFirewallEnabled());
        EXPECT_FALSE(m.PublicFirewallEnabled());
        EXPECT_FALSE(m.OverallFirewallEnabled());
    }
    EXPECT_EQ(xp.calls, (std::vector<std::wstring>{L"ensure SharedAccess", L"create", L"current",
                                                   L"ensure SharedAccess", L"current", L"ensure SharedAccess",
                                                   L"current", L"release"}));

    FakeFirewall vista;
    vista.byType = {{kFwProfileStandard, true}, {kFwProfileCurrent, false}};
    vista.current = true;
    TFireWallMgr m(vista, L"Windows Vista", Version(6, 0));
    EXPECT_TRUE(m.HomeFirewallEnabled());
    EXPECT_FALSE(m.PublicFirewallEnabled());
    EXPECT_TRUE(m.OverallFirewallEnabled());
    EXPECT_EQ(vista.calls, (std::vector<std::wstring>{L"ensure MpsSvc", L"create", L"type 1", L"ensure MpsSvc",
                                                      L"type 2", L"ensure MpsSvc", L"current"}));
}

TEST(SecurityFirewall, ComErrorsReadFalseOtherErrorsDropTheLine)
{
    FakeFirewall noManager;
    noManager.managerFails = true;
    TFireWallMgr m(noManager, L"Windows XP", Version(5, 1));
    EXPECT_FALSE(m.HomeFirewallEnabled());
    // Without a manager it is asked for again next time.
    EXPECT_FALSE(m.PublicFirewallEnabled());
    EXPECT_EQ(std::count(noManager.calls.begin(), noManager.calls.end(), L"create"), 2);

    FakeSecurityCenter wsc;
    wsc.connects = false;
    FakeFirewall com;
    com.comErrors = true;
    LineList list;
    GetWSCInfoFrom(list, wsc, [&] { return std::make_unique<TFireWallMgr>(com, L"Windows 10", Version(10, 0)); });
    EXPECT_EQ(Joined(LineList(list.end() - 3, list.end())),
              L"HomeNetFwEnabled=False\nPublicNetFwEnabled=False\nFireWallEnabled=False\n");

    FakeFirewall other;
    other.otherErrors = true;
    other.byType = {{kFwProfileStandard, true}, {kFwProfileCurrent, true}};
    LineList list2;
    GetWSCInfoFrom(list2, wsc,
                   [&] { return std::make_unique<TFireWallMgr>(other, L"Windows 10", Version(10, 0)); });
    EXPECT_EQ(list2.back(), L"[Windows FireWall]");
}

}  // namespace
}  // namespace pelmo
