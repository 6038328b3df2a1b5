#include "collectors/Services.h"

#include <winsvc.h>

#include "platform/AppFrame_New.h"
#include "platform/Handles.h"
#include "platform/RegistryClassEx.h"

namespace pelmo {

namespace {

bool StartsWithText(const std::wstring& s, const std::wstring& prefix)
{
    return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

class RealSource final : public IServiceSource {
public:
    bool Enumerate(std::vector<ServiceEntry>& services) const override
    {
        UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!scm) return false;
        // Services that start between the two calls make the list longer:
        // the call is repeated with the size it asks for, a few times.
        DWORD needed = 0, count = 0, resume = 0;
        EnumServicesStatusW(scm.get(), SERVICE_TYPE_ALL, SERVICE_STATE_ALL, nullptr, 0, &needed, &count, &resume);
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::vector<BYTE> buf((needed / sizeof(ENUM_SERVICE_STATUSW) + 1) * sizeof(ENUM_SERVICE_STATUSW) + 4096);
            resume = 0;
            count = 0;
            if (EnumServicesStatusW(scm.get(), SERVICE_TYPE_ALL, SERVICE_STATE_ALL,
                                    reinterpret_cast<ENUM_SERVICE_STATUSW*>(buf.data()), DWORD(buf.size()), &needed,
                                    &count, &resume)) {
                const auto* e = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buf.data());
                services.clear();
                for (DWORD i = 0; i < count; ++i) {
                    services.push_back({e[i].lpServiceName ? e[i].lpServiceName : L"",
                                        e[i].lpDisplayName ? e[i].lpDisplayName : L"", e[i].ServiceStatus.dwServiceType,
                                        e[i].ServiceStatus.dwCurrentState, e[i].ServiceStatus.dwWin32ExitCode});
                }
                return true;
            }
            if (GetLastError() != ERROR_MORE_DATA) return false;
            needed += 4096;
        }
        return false;
    }
    bool Config(const std::wstring& name, DWORD& startType, std::wstring& imagePath) const override
    {
        UniqueSc scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!scm) return false;
        UniqueSc service(OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
        if (!service) return false;
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        if (needed == 0) return false;
        std::vector<BYTE> buf(needed, 0);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
        if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return false;
        startType = config->dwStartType;
        imagePath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        return true;
    }
    bool FileExists(const std::wstring& path) const override { return pelmo::FileExists(path); }
    bool Expand(const std::wstring& path, std::wstring& expanded) const override
    {
        DWORD n = ExpandEnvironmentStringsW(path.c_str(), nullptr, 0);
        if (n == 0) return false;
        std::wstring out(n, L'\0');
        n = ExpandEnvironmentStringsW(path.c_str(), out.data(), n);
        if (n == 0) return false;
        out.resize(n - 1);
        expanded = out;
        return true;
    }
    std::wstring FixedVersion(const std::wstring& path) const override { return FixedFileVersion(path); }
};

}  // namespace

const IServiceSource& RealServiceSource()
{
    static const RealSource source;
    return source;
}

std::wstring ServiceVersionText(const IServiceSource& src, const std::wstring& imagePath)
{
    Wow64RedirectionOff redirectionOff;
    std::wstring path = imagePath;
    if (StartsWithText(path, L"\\??\\")) path = path.substr(4);
    if (!src.FileExists(path)) {
        if (StartsWithText(path, L"\\SystemRoot\\"))
            path = ReplaceAllText(path, L"\\SystemRoot\\", L"%SystemRoot%\\");
        else if (StartsWithText(path, L"SysWOW64\\") || StartsWithText(path, L"System32\\"))
            path = L"%SystemRoot%\\" + path;
        std::wstring expanded;
        if (src.Expand(path, expanded)) path = expanded;
    }
    if (!src.FileExists(path)) return {};
    return L"Ver:" + src.FixedVersion(path);
}

std::wstring ServiceLine(const ServiceEntry& e, DWORD startType, const std::wstring& imagePath,
                         const std::wstring& version)
{
    return Format(L"%-30ls %X  %d  %d %d %ls %ls", e.displayName.c_str(), unsigned(e.type), int(e.state),
                  int(e.exitCode), int(startType), imagePath.c_str(), version.c_str());
}

void EnumServicesFrom(const IServiceSource& src, LineList& list)
{
    try {
        std::vector<ServiceEntry> services;
        if (!src.Enumerate(services)) return;
        list.push_back(kSeparatorLine);
        for (const auto& e : services) {
            DWORD startType = 0;
            std::wstring imagePath;
            if (!src.Config(e.serviceName, startType, imagePath)) imagePath.clear();
            list.push_back(ServiceLine(e, startType, imagePath, ServiceVersionText(src, imagePath)));
        }
    } catch (...) {
        // The lines so far stay; the block ends quietly.
    }
}

void EnumServices(LineList& list) { EnumServicesFrom(RealServiceSource(), list); }

}  // namespace pelmo
