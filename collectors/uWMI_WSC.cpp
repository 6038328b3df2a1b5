#include "collectors/uWMI_WSC.h"

#include <wbemcli.h>

#include <functional>
#include <memory>

#include "platform/Log.h"
#include "collectors/uFireWallMgr.h"
#include "platform/Com.h"
#include "platform/OptionalApi.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

constexpr CLSID kClsidWbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID kIidWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

const wchar_t* Flag(bool b) { return b ? L"True" : L"False"; }

// The connection of this run. It is released before the worker's COM
// apartment ends, so no proxy outlives it; COM security stays set for the
// process.
struct WmiState {
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    bool securityInitialised = false;
    bool connected = false;
    bool newer = false;
};
WmiState& State()
{
    static WmiState s;
    return s;
}

void ReleaseSecurityCenter()
{
    WmiState& s = State();
    s.services.reset();
    s.locator.reset();
    s.connected = false;
    s.newer = false;
}

WmiValue ReadValue(IWbemClassObject* object, const std::wstring& name)
{
    WmiValue out;
    Variant v;
    if (FAILED(object->Get(name.c_str(), 0, v.put(), nullptr, nullptr))) return out;
    VARTYPE type = v.get().vt;
    if (type == VT_EMPTY || type == VT_NULL) return out;
    Variant text;
    if (SUCCEEDED(VariantChangeType(text.put(), &v, VARIANT_ALPHABOOL, VT_BSTR)) && text.get().bstrVal)
        out.text.assign(text.get().bstrVal, SysStringLen(text.get().bstrVal));
    Variant flag;
    if (SUCCEEDED(VariantChangeType(flag.put(), &v, VARIANT_ALPHABOOL, VT_BOOL)))
        out.flag = flag.get().boolVal != VARIANT_FALSE;
    return out;
}

class RealSecurityCenter final : public ISecurityCenterSource {
public:
    bool Connect() override { return ConnectSecurityCenter(); }
    bool NewerNamespace() const override { return State().newer; }
    bool Query(const std::wstring& wql, const std::vector<std::wstring>& properties,
               std::vector<WmiRow>& rows) override
    {
        WmiState& s = State();
        if (!s.services) return false;
        ComPtr<IEnumWbemClassObject> objects;
        Bstr language(L"WQL"), query(wql);
        if (FAILED(s.services->ExecQuery(language.get(), query.get(),
                                         WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                         objects.put())) ||
            !objects)
            return false;
        // The enumerator is asked in short waits, all within one bound.
        ULONGLONG deadline = TickCount64() + kWmiQueryTimeoutMs;
        for (;;) {
            ULONGLONG now = TickCount64();
            if (now >= deadline) {
                WriteLog(L"WMI query timeout: " + wql);
                break;
            }
            ComPtr<IWbemClassObject> object;
            ULONG got = 0;
            HRESULT hr = objects->Next(LONG(std::min<ULONGLONG>(deadline - now, 5000)), 1, object.put(), &got);
            if (got == 0 || !object) {
                if (hr == WBEM_S_TIMEDOUT) continue;
                break;
            }
            WmiRow row;
            for (const auto& name : properties) row.push_back(ReadValue(object.get(), name));
            rows.push_back(std::move(row));
        }
        return true;
    }
};

struct ProductFamily {
    const wchar_t* header;
    bool emptyLineFirst;
    const wchar_t* query;
};
constexpr ProductFamily kFamilies[] = {
    {L"[AntiVirusProduct]", false, L"SELECT * FROM AntiVirusProduct"},
    {L"[AntiSpywareProduct]", true, L"SELECT * FROM AntiSpywareProduct"},
    {L"[FirewallProduct]", true, L"SELECT * FROM FirewallProduct"},
};

void ProductBlock(LineList& list, ISecurityCenterSource& wsc, const ProductFamily& family)
{
    if (family.emptyLineFirst) list.push_back(L"");
    list.push_back(family.header);
    if (!wsc.Connect()) return;
    bool newer = wsc.NewerNamespace();
    std::vector<std::wstring> names = newer ? std::vector<std::wstring>{L"displayName", L"productState"}
                                            : std::vector<std::wstring>{L"displayName", L"onAccessScanningEnabled",
                                                                        L"productUptoDate"};
    std::vector<WmiRow> rows;
    if (!wsc.Query(family.query, names, rows)) return;
    for (const auto& row : rows) AppendProductGroup(list, row, newer);
}

void FirewallBlock(LineList& list, const FirewallFactory& makeFirewall)
{
    list.push_back(L"");
    list.push_back(L"[Windows FireWall]");
    std::unique_ptr<TFireWallMgr> fw = makeFirewall();
    using Query = bool (TFireWallMgr::*)();
    const std::pair<const wchar_t*, Query> lines[] = {
        {L"HomeNetFwEnabled=", &TFireWallMgr::HomeFirewallEnabled},
        {L"PublicNetFwEnabled=", &TFireWallMgr::PublicFirewallEnabled},
        {L"FireWallEnabled=", &TFireWallMgr::OverallFirewallEnabled},
    };
    for (const auto& [label, query] : lines) {
        try {
            bool on = ((*fw).*query)();
            list.push_back(std::wstring(label) + Flag(on));
        } catch (...) {
            // Only this line is missing.
        }
    }
}

}  // namespace

void GetWSCInfoFrom(LineList& list, ISecurityCenterSource& wsc, const FirewallFactory& makeFirewall)
{
    for (const auto& family : kFamilies) {
        try {
            ProductBlock(list, wsc, family);
        } catch (...) {
            // The block keeps the lines it has; the next one still runs.
        }
    }
    try {
        FirewallBlock(list, makeFirewall);
    } catch (...) {
    }
}

ProductState DecodeProductState(const std::wstring& text)
{
    ProductState s;
    std::wstring t = Trim(text);
    wchar_t* end = nullptr;
    long long v = t.empty() ? 0 : wcstoll(t.c_str(), &end, 10);
    if (t.empty() || !end || *end != L'\0' || v < INT32_MIN || v > UINT32_MAX) v = 0;
    s.value = uint32_t(v);
    s.enabled = (s.value & 0x1000) != 0;
    s.upToDate = (s.value & 0x10) == 0;
    return s;
}

void AppendProductGroup(LineList& list, const WmiRow& row, bool newerNamespace)
{
    auto at = [&](size_t i) -> const WmiValue& {
        static const WmiValue kMissing;
        return i < row.size() ? row[i] : kMissing;
    };
    auto flagOf = [&](size_t i) {
        if (!at(i).flag) throw Error(L"Security Center property is not a flag");
        return *at(i).flag;
    };
    list.push_back(L"");
    list.push_back(L"Name:" + at(0).text);
    if (newerNamespace) {
        ProductState s = DecodeProductState(at(1).text);
        list.push_back(Format(L"Enabled=%ls(%08X)", Flag(s.enabled), s.value));
        list.push_back(std::wstring(L"UptoDate=") + Flag(s.upToDate));
    } else {
        bool enabled = flagOf(1);
        bool upToDate = flagOf(2);
        list.push_back(std::wstring(L"Enabled=") + Flag(enabled));
        list.push_back(std::wstring(L"UptoDate=") + Flag(upToDate));
    }
}

bool ConnectSecurityCenter()
{
    WmiState& s = State();
    if (s.connected) return true;
    OSVERSIONINFOEXW v{};
    QueryVersionEx(v);
    if (!s.securityInitialised) {
        HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (FAILED(hr) && hr != RPC_E_TOO_LATE) return false;
        s.securityInitialised = true;
    }
    if (!s.locator) {
        if (FAILED(CoCreateInstance(kClsidWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIidWbemLocator,
                                    s.locator.put_void())) ||
            !s.locator)
            return false;
    }
    if (!s.services) {
        auto connect = [&](const wchar_t* ns) {
            Bstr name(ns);
            return SUCCEEDED(s.locator->ConnectServer(name.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                      s.services.put())) &&
                   s.services;
        };
        if (v.dwMajorVersion > 5) {
            if (connect(L"ROOT/SecurityCenter2"))
                s.newer = true;
            else if (!connect(L"ROOT/SecurityCenter"))
                return false;
        } else if (!connect(L"ROOT/SecurityCenter")) {
            return false;
        }
    }
    if (FAILED(CoSetProxyBlanket(s.services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)))
        return false;
    s.connected = true;
    return true;
}

void GetWSCInfo(LineList& list)
{
    try {
        CoScope com;
        {
            RealSecurityCenter wsc;
            GetWSCInfoFrom(list, wsc, [] { return std::make_unique<TFireWallMgr>(); });
        }
        ReleaseSecurityCenter();
    } catch (...) {
        ReleaseSecurityCenter();
    }
}

}  // namespace pelmo
