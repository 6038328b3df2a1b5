#include "products/ProductLocations.h"

#include <vector>

#include "platform/AppFrame_New.h"
#include "platform/Handles.h"
#include "platform/PSafeIniFile.h"
#include "platform/RegistryClassEx.h"
#include "platform/Session.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kPelmoKey[] = L"SOFTWARE\\Pelmo\\";

// One key of HKLM, opened for reading in the 32-bit view.
class ProductKey {
public:
    explicit ProductKey(const std::wstring& path)
    {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, m_key.put()) !=
            ERROR_SUCCESS)
            m_key.reset();
    }
    explicit operator bool() const { return bool(m_key); }
    // A text value (unexpanded); false when it is missing or not text.
    bool Read(const wchar_t* name, std::wstring& out) const { return QueryTextValue(m_key.get(), name, out); }

private:
    UniqueHKey m_key;
};

bool NamingFor(const std::wstring& version)
{
    wchar_t* end = nullptr;
    std::wstring t = Trim(version);
    long v = t.empty() ? 0 : wcstol(t.c_str(), &end, 10);
    if (t.empty() || *end) v = 0;
    return v > 8;
}

std::wstring UninstallNameFor(const std::wstring& version)
{
    return NamingFor(version) ? GetProductDirName() + L"_is1" : L"Molvane " + version + L"_is1";
}

std::wstring KeyNameFor(const std::wstring& version)
{
    return NamingFor(version) ? GetProductDirName() : L"Molvane " + version;
}

void SwitchToOlderVersion()
{
    ProductRun().productVersion = L"8";
    ProductRun().prevProductVersion = L"7";
}

bool Usable(const std::wstring& path) { return !path.empty() && DirectoryExists(path); }

}  // namespace

ProductRunState& ProductRun()
{
    static ProductRunState state;
    return state;
}

std::wstring& AppPath() { return ProductRun().appPath; }

bool UsesNewNaming(const std::wstring& version) { return NamingFor(version); }

std::wstring GetProductDirName()
{
    std::wstring& name = ProductRun().productDirName;
    if (name.empty()) name = IsBetaEdition() ? L"Molvane Beta" : L"Molvane";
    return name;
}

std::wstring GetProductName()
{
    const std::wstring& v = ProductRun().productVersion;
    return NamingFor(v) ? GetProductDirName() : L"Molvane V" + v;
}

std::wstring GetUninstallKeyName() { return UninstallNameFor(ProductRun().productVersion); }
std::wstring GetPrevUninstallKeyName() { return UninstallNameFor(ProductRun().prevProductVersion); }
std::wstring GetProductKeyName() { return KeyNameFor(ProductRun().productVersion); }
std::wstring GetPrevProductKeyName() { return KeyNameFor(ProductRun().prevProductVersion); }
std::wstring GetServiceName() { return L"MolvaneService" + ProductRun().productVersion; }
std::wstring InstallTargetName() { return L"MLV" + ProductRun().productVersion + L"AppPath"; }

std::wstring FolderPart(const std::wstring& path)
{
    size_t at = path.find_last_of(L"\\:");
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at + 1);
}

std::wstring GetInstallLocation(const std::wstring& entryName)
{
    ProductKey key(kUninstallKey + entryName);
    if (!key) return {};
    std::wstring result;
    if (!key.Read(L"InstallLocation", result)) key.Read(L"Inno Setup: App Path", result);
    if (!result.empty()) result = IncludeTrailingBackslash(result);
    return result;
}

bool ReadEntryInstallLocation(const std::wstring& entryName, std::wstring& location)
{
    ProductKey key(kUninstallKey + entryName);
    location.clear();
    if (!key) return false;
    if (key.Read(L"InstallLocation", location) && !location.empty()) location = IncludeTrailingBackslash(location);
    return true;
}

std::wstring GetProductInstallDir()
{
    std::wstring result;
    try {
        for (const wchar_t* entry : {L"Molvane Beta_is1", L"Molvane_is1"})
            if (ReadEntryInstallLocation(entry, result) && !result.empty()) break;
    } catch (...) {
        result.clear();
    }
    if (result.empty())
        result = ExcludeTrailingBackslash(GetSpecialFolder(nullptr, 38 /* CSIDL_PROGRAM_FILES */)) +
                 L"\\Pelmo\\Molvane\\";
    return result;
}

bool IsBetaEdition()
{
    int& flag = ProductRun().betaFlag;
    if (flag != -1) return flag == 1;
    try {
        const std::wstring ini = GetProductInstallDir() + L"Update\\Update.ini";
        if (!FileExists(ini)) return false;
        // Read only: the vendor's file keeps its attributes.
        TIniFile file(ini, IniAccess::Read);
        flag = file.ReadInteger(L"Beta", L"Value", 0);
        return flag == 1;
    } catch (...) {
        if (flag == -1) flag = 0;
        return false;
    }
}

std::wstring GetServiceBinaryPath(const std::wstring& serviceName)
{
    try {
        UniqueSc manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) return {};
        UniqueSc service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_CONFIG));
        if (!service) return {};
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
        std::vector<BYTE> buf(needed, 0);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
        if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return {};
        return config->lpBinaryPathName ? std::wstring(config->lpBinaryPathName) : std::wstring();
    } catch (...) {
        return {};
    }
}

void FindAppPathFor(const std::wstring& hostExecutable)
{
    std::wstring& app = AppPath();
    // 1. Inside a host process: the host's own folder.
    if (!hostExecutable.empty()) {
        app = FolderPart(hostExecutable);
        return;
    }
    // 2. The first uninstall entry that opens.
    for (const wchar_t* entry : {L"Molvane_is1", L"Molvane Beta_is1", L"Molvane Ultimate_is1"}) {
        ProductKey key(kUninstallKey + std::wstring(entry));
        if (!key) continue;
        std::wstring value;
        if (key.Read(L"InstallLocation", value)) app = FolderPart(value);
        break;
    }
    if (Usable(app)) return;
    // 3. The Ultimate suite's key.
    {
        ProductKey key(kPelmoKey + std::wstring(L"Molvane Ultimate"));
        std::wstring value;
        if (key.Read((L"mlvuv" + ProductRun().productVersion + L"uninstallpath").c_str(), value)) {
            app = FolderPart(value);
        } else if (key.Read((L"mlvuv" + ProductRun().prevProductVersion + L"uninstallpath").c_str(), value)) {
            app = FolderPart(value);
            SwitchToOlderVersion();
        }
    }
    if (Usable(app)) return;
    // 4. and 5. The product's own key, then the older version's.
    {
        ProductKey key(kPelmoKey + GetProductKeyName());
        std::wstring value;
        if (key.Read(L"apppath", value)) app = FolderPart(value);
    }
    if (Usable(app)) return;
    {
        ProductKey key(kPelmoKey + GetPrevProductKeyName());
        std::wstring value;
        if (key.Read(L"apppath", value)) {
            app = FolderPart(value);
            SwitchToOlderVersion();
        }
    }
    if (Usable(app)) return;
    // 6. The folder of the product's service, when it holds the engine.
    app = FolderPart(GetServiceBinaryPath(GetServiceName()));
    if (Usable(app) && DirectoryExists(IncludeTrailingBackslash(app) + L"Antivirus")) return;
    // 7. The anti-malware module's quarantine folder.
    app.clear();
    try {
        const std::wstring ini = AppFrame().CommonAppDataDir + L"\\Pelmo\\" + GetProductName() + L"\\AntivirusConfig.ini";
        if (!FileExists(ini)) return;
        TIniFile file(ini, IniAccess::Read);
        const std::wstring quarantine = file.ReadString(L"Antivirus", L"QuarantinePath", L"");
        if (quarantine.empty() || !DirectoryExists(quarantine)) return;
        const std::wstring lower = ToLower(quarantine);
        size_t at = lower.find(L"antivirus\\backuprec");
        if (at == std::wstring::npos) at = lower.find(L"antivirus\\bakcuprec");
        if (at == std::wstring::npos) return;
        const std::wstring candidate = quarantine.substr(0, at);
        if (DirectoryExists(candidate + L"Antivirus")) app = candidate;
    } catch (...) {
        app.clear();
    }
}

void FindAppPath()
{
    const std::wstring module = ModuleFileName(ThisModule());
    FindAppPathFor(EndsWithText(module, L".dll") ? ModuleFileName(nullptr) : std::wstring());
}

}  // namespace pelmo
