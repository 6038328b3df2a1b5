// Windows Firewall state through its COM objects, and the firewall service
// that must run for them to answer.
#pragma once

#include <memory>
#include <string>

#include "platform/win.h"

namespace pelmo {

// Raised by a firewall source when a COM call fails; such a line reads
// "False".
struct FirewallComError {
    HRESULT hr = E_FAIL;
};

// Profile types of the older interface and of the newer one.
constexpr long kFwProfileStandard = 1;  // NET_FW_PROFILE_STANDARD
constexpr long kFwProfileCurrent = 2;   // NET_FW_PROFILE_CURRENT
constexpr long kFwProfile2Private = 2;  // NET_FW_PROFILE2_PRIVATE
constexpr long kFwProfile2Public = 4;   // NET_FW_PROFILE2_PUBLIC

// The platform's firewall objects and service, as the manager uses them.
// The query calls raise FirewallComError on a failing COM call.
class IFirewallSource {
public:
    virtual ~IFirewallSource() = default;
    // Starts the service (automatic start) when it is not running.
    virtual void EnsureService(const std::wstring& serviceName) = 0;
    // HNetCfg.FwMgr: creates and keeps the manager, reading
    // LocalPolicy.CurrentProfile.FirewallEnabled once.
    virtual void CreateManager() = 0;
    virtual void ReleaseManager() = 0;
    virtual bool CurrentProfileEnabled() = 0;
    virtual bool ProfileByTypeEnabled(long profileType) = 0;
    // HNetCfg.FwPolicy2, a fresh object per call.
    virtual bool Policy2Enabled(long profile) = 0;
};
std::unique_ptr<IFirewallSource> MakeRealFirewallSource();

class TFireWallMgr {
public:
    // This machine: its Windows name and version, the real objects.
    TFireWallMgr();
    // Given answers, for tests.
    TFireWallMgr(IFirewallSource& source, const std::wstring& osName, const OSVERSIONINFOEXW& version);
    virtual ~TFireWallMgr();
    TFireWallMgr(const TFireWallMgr&) = delete;
    TFireWallMgr& operator=(const TFireWallMgr&) = delete;

    bool HomeFirewallEnabled();
    bool PublicFirewallEnabled();
    bool OverallFirewallEnabled();
    void EnsureFirewallService();
    // 0: Windows 5.x or older, 1: 6.0, 2: 6.1, 3: later.
    int OsLevel() const;
    const std::wstring& ServiceName() const { return m_serviceName; }

private:
    void Init(const std::wstring& osName);
    bool Manager();
    bool ProfileEnabled(long profileType);

    std::unique_ptr<IFirewallSource> m_owned;
    IFirewallSource* m_source = nullptr;
    bool m_haveManager = false;
    OSVERSIONINFOEXW m_version{};
    std::wstring m_serviceName;
    bool m_useFwPolicy2 = false;
    bool m_comInitialised = false;
};

// How long the "sc start" fallback may run (ms).
constexpr DWORD kScStartTimeoutMs = 60 * 1000;

// Starts the service when it is not running, setting its start type to
// automatic first; every failure falls back to "sc start <name>", ended
// after kScStartTimeoutMs. Raises nothing.
void EnsureServiceRunning(const std::wstring& serviceName);

}  // namespace pelmo
