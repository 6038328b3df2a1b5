// OS and machine summary: the first block of the main report.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Text.h"

namespace pelmo {

// The platform's answers that the block decodes.
struct OsVersion {
    bool ok = false;
    DWORD major = 0, minor = 0, build = 0, platformId = 0;
    BYTE productType = 0;
    std::wstring csd;
};

struct OsMetrics {
    bool serverR2 = false, tabletPc = false, starter = false, mediaCenter = false;
    bool nativeAmd64 = false;
};

struct MemoryStatus {
    uint64_t totalPhys = 0, availPhys = 0, totalVirtual = 0, availVirtual = 0, availExtendedVirtual = 0,
             totalPageFile = 0, availPageFile = 0;
};

class IOsInfoSource {
public:
    virtual ~IOsInfoSource() = default;
    virtual OsVersion Version() const = 0;
    virtual OsMetrics Metrics() const = 0;
    virtual std::wstring SystemLanguage() const = 0;
    virtual bool ComputerName(std::wstring& name) const = 0;
    virtual bool Wow64() const = 0;
    virtual MemoryStatus Memory() const = 0;
    virtual std::wstring SystemDir() const = 0;
    virtual bool DiskSpace(const std::wstring& drive, int64_t& total, int64_t& freeForCaller) const = 0;
    virtual std::wstring LoggedOnUser() const = 0;
    virtual std::wstring ProcessUser() const = 0;
    virtual DWORD ShellIntegrityLevel(const std::wstring& user) const = 0;
    virtual bool DpiAware() const = 0;
    virtual int ScreenWidth() const = 0;
    virtual int ScreenHeight() const = 0;
    virtual int AppliedDpi() const = 0;  // 96 when it cannot be read
    virtual int LogPixelsY() const = 0;
};
const IOsInfoSource& RealOsInfoSource();

// The descriptive Windows name ("Windows 7 x64 Service Pack 1").
std::wstring OSDescription(const OsVersion& v, const OsMetrics& m);
// The block for these answers; decimal is the user's decimal separator.
LineList BuildOSInfoLines(const IOsInfoSource& src, wchar_t decimal);
// Appends the block of this machine to list.
void GetOSInfoEx(LineList& list);

// The user locale's decimal separator.
wchar_t UserDecimalSeparator();

}  // namespace pelmo
