// Services list: one line per service and driver with its state, start
// type, image path and the image file's version.
#pragma once

#include <string>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

struct ServiceEntry {
    std::wstring serviceName;
    std::wstring displayName;
    DWORD type = 0;
    DWORD state = 0;
    DWORD exitCode = 0;
};

// The service manager and the file system, as the block sees them.
class IServiceSource {
public:
    virtual ~IServiceSource() = default;
    // False when the manager cannot be opened or the list cannot be read.
    virtual bool Enumerate(std::vector<ServiceEntry>& services) const = 0;
    virtual bool Config(const std::wstring& serviceName, DWORD& startType, std::wstring& imagePath) const = 0;
    // File tests with WOW64 redirection off.
    virtual bool FileExists(const std::wstring& path) const = 0;
    virtual bool Expand(const std::wstring& path, std::wstring& expanded) const = 0;
    virtual std::wstring FixedVersion(const std::wstring& path) const = 0;
};
const IServiceSource& RealServiceSource();

// "Ver:" + version of the file an image path names, or empty.
std::wstring ServiceVersionText(const IServiceSource& src, const std::wstring& imagePath);
// "%-30s %X  %d  %d %d %s %s".
std::wstring ServiceLine(const ServiceEntry& e, DWORD startType, const std::wstring& imagePath,
                         const std::wstring& version);
void EnumServicesFrom(const IServiceSource& src, LineList& list);
// Appends the block of this machine; raises nothing.
void EnumServices(LineList& list);

}  // namespace pelmo
