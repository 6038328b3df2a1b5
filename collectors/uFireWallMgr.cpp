#include "collectors/uFireWallMgr.h"

#include <netfw.h>

#include <vector>

#include "platform/Log.h"
#include "collectors/CommandRunner.h"
#include "platform/Com.h"
#include "platform/Handles.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

// HNetCfg.FwMgr / INetFwMgr and HNetCfg.FwPolicy2 / INetFwPolicy2.
constexpr CLSID kClsidFwMgr = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
constexpr IID kIidFwMgr = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
constexpr CLSID kClsidFwPolicy2 = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr IID kIidFwPolicy2 = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};

void Check(HRESULT hr)
{
    if (FAILED(hr)) throw FirewallComError{hr};
}

class RealFirewallSource final : public IFirewallSource {
public:
    void EnsureService(const std::wstring& serviceName) override { EnsureServiceRunning(serviceName); }

    void CreateManager() override
    {
        m_manager.reset();
        ComPtr<INetFwMgr> manager;
        Check(CoCreateInstance(kClsidFwMgr, nullptr, CLSCTX_INPROC_SERVER, kIidFwMgr, manager.put_void()));
        m_manager = std::move(manager);
        CurrentProfileEnabled();
    }
    void ReleaseManager() override { m_manager.reset(); }

    bool CurrentProfileEnabled() override
    {
        ComPtr<INetFwProfile> profile;
        Check(Policy()->get_CurrentProfile(profile.put()));
        return Enabled(profile);
    }

    bool ProfileByTypeEnabled(long profileType) override
    {
        ComPtr<INetFwProfile> profile;
        Check(Policy()->GetProfileByType(NET_FW_PROFILE_TYPE(profileType), profile.put()));
        return Enabled(profile);
    }

    bool Policy2Enabled(long profile) override
    {
        ComPtr<INetFwPolicy2> policy;
        Check(CoCreateInstance(kClsidFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, kIidFwPolicy2, policy.put_void()));
        VARIANT_BOOL on = VARIANT_FALSE;
        Check(policy->get_FirewallEnabled(NET_FW_PROFILE_TYPE2(profile), &on));
        return on != VARIANT_FALSE;
    }

private:
    ComPtr<INetFwPolicy> Policy()
    {
        if (!m_manager) throw FirewallComError{E_POINTER};
        ComPtr<INetFwPolicy> policy;
        Check(m_manager->get_LocalPolicy(policy.put()));
        if (!policy) throw FirewallComError{E_POINTER};
        return policy;
    }
    static bool Enabled(const ComPtr<INetFwProfile>& profile)
    {
        if (!profile) throw FirewallComError{E_POINTER};
        VARIANT_BOOL on = VARIANT_FALSE;
        Check(profile->get_FirewallEnabled(&on));
        return on != VARIANT_FALSE;
    }

    CoScope m_com;
    ComPtr<INetFwMgr> m_manager;
};

void RunScStart(const std::wstring& serviceName)
{
    RunHiddenCommand(SystemCommandLine(L"sc.exe", L"start " + serviceName), kScStartTimeoutMs);
}

}  // namespace

std::unique_ptr<IFirewallSource> MakeRealFirewallSource() { return std::make_unique<RealFirewallSource>(); }

void EnsureServiceRunning(const std::wstring& serviceName)
{
    try {
        UniqueSc manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) return RunScStart(serviceName);
        UniqueSc service(OpenServiceW(manager.get(), serviceName.c_str(),
                                      SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS |
                                          SERVICE_START));
        if (!service) return RunScStart(serviceName);
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING) return;

        std::vector<BYTE> buf(1024);
        DWORD needed = 0;
        BOOL ok = QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                      DWORD(buf.size()), &needed);
        if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            buf.resize(needed);
            ok = QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                     DWORD(buf.size()), &needed);
        }
        if (ok && reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data())->dwStartType != SERVICE_AUTO_START) {
            if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
                WriteLog(L"Firewall service start type not changed: " + GetLastErrorText());
        }
        if (!StartServiceW(service.get(), 0, nullptr)) RunScStart(serviceName);
        Sleep(100);
    } catch (...) {
        // Best effort: the queries still run and answer what they can.
    }
}

TFireWallMgr::TFireWallMgr() : m_owned(MakeRealFirewallSource())
{
    m_source = m_owned.get();
    QueryVersionEx(m_version);
    Init(GetOSName());
}

TFireWallMgr::TFireWallMgr(IFirewallSource& source, const std::wstring& osName, const OSVERSIONINFOEXW& version)
    : m_source(&source), m_version(version)
{
    Init(osName);
}

void TFireWallMgr::Init(const std::wstring& osName)
{
    m_useFwPolicy2 = osName == L"Windows 7" || osName == L"Windows 8" || osName == L"Windows 10";
    m_comInitialised = SUCCEEDED(CoInitialize(nullptr));
    m_serviceName = OsLevel() >= 1 ? L"MpsSvc" : L"SharedAccess";
}

TFireWallMgr::~TFireWallMgr()
{
    if (m_haveManager) m_source->ReleaseManager();
    m_owned.reset();
    if (m_comInitialised) CoUninitialize();
}

int TFireWallMgr::OsLevel() const
{
    if (m_version.dwMajorVersion <= 5) return 0;
    if (m_version.dwMajorVersion == 6 && m_version.dwMinorVersion == 0) return 1;
    if (m_version.dwMajorVersion == 6 && m_version.dwMinorVersion == 1) return 2;
    return 3;
}

void TFireWallMgr::EnsureFirewallService() { m_source->EnsureService(m_serviceName); }

bool TFireWallMgr::Manager()
{
    EnsureFirewallService();
    if (m_haveManager) return true;
    try {
        m_source->CreateManager();
        m_haveManager = true;
    } catch (const FirewallComError&) {
        m_source->ReleaseManager();
    }
    return m_haveManager;
}

bool TFireWallMgr::ProfileEnabled(long profileType)
{
    if (!Manager()) return false;
    try {
        if (OsLevel() >= 1) return m_source->ProfileByTypeEnabled(profileType);
        return m_source->CurrentProfileEnabled();
    } catch (const FirewallComError&) {
        return false;
    }
}

bool TFireWallMgr::HomeFirewallEnabled() { return ProfileEnabled(kFwProfileStandard); }
bool TFireWallMgr::PublicFirewallEnabled() { return ProfileEnabled(kFwProfileCurrent); }

bool TFireWallMgr::OverallFirewallEnabled()
{
    try {
        if (m_useFwPolicy2) {
            EnsureFirewallService();
            if (!m_source->Policy2Enabled(kFwProfile2Private)) return false;
            return m_source->Policy2Enabled(kFwProfile2Public);
        }
        if (!Manager()) return false;
        return m_source->CurrentProfileEnabled();
    } catch (const FirewallComError&) {
        return false;
    }
}

}  // namespace pelmo
