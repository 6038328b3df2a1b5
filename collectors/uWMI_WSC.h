// Security Center products (anti-virus, anti-spyware, firewall) read through
// WMI, and the Windows Firewall profile states.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

// One property of a WMI object as the block reads it: its text, and its
// value as a flag where it converts to one.
struct WmiValue {
    std::wstring text;
    std::optional<bool> flag;
};
using WmiRow = std::vector<WmiValue>;

// The Security Center namespaces as the product blocks see them.
class ISecurityCenterSource {
public:
    virtual ~ISecurityCenterSource() = default;
    // Connects once; a failed attempt is tried again by the next call.
    virtual bool Connect() = 0;
    // True when the connection is to "ROOT/SecurityCenter2".
    virtual bool NewerNamespace() const = 0;
    // Runs a WQL query and reads the named properties of every object, in
    // order. False when the query fails.
    virtual bool Query(const std::wstring& wql, const std::vector<std::wstring>& properties,
                       std::vector<WmiRow>& rows) = 0;
};

// Enabled / UptoDate of a productState given as decimal text.
struct ProductState {
    uint32_t value = 0;
    bool enabled = false;
    bool upToDate = false;
};
ProductState DecodeProductState(const std::wstring& text);

// "Name:", "Enabled=" and "UptoDate=" of one product (after its empty line).
// Raises pelmo::Error when an older-namespace flag is missing.
void AppendProductGroup(LineList& list, const WmiRow& row, bool newerNamespace);

class TFireWallMgr;
// Makes the firewall manager when the firewall block starts.
using FirewallFactory = std::function<std::unique_ptr<TFireWallMgr>()>;
// The whole block from the given sources.
void GetWSCInfoFrom(LineList& list, ISecurityCenterSource& wsc, const FirewallFactory& makeFirewall);
// The block of this machine. Raises nothing.
void GetWSCInfo(LineList& list);

// The connection of this run, made on first use.
bool ConnectSecurityCenter();

// How long one product query may take in all (ms).
constexpr DWORD kWmiQueryTimeoutMs = 2 * 60 * 1000;

}  // namespace pelmo
