// Reads an archive back the way an unpacker does: the central directory
// (ZIP64 records included), each entry's local header, and every entry's
// data inflated and compared with its CRC-32 and sizes. Streams through
// fixed buffers, so memory stays bounded whatever the archive's size.
#pragma once

#include <cstdint>
#include <string>

namespace pelmo::zip {

struct CheckResult {
    bool ok = false;
    uint64_t entries = 0;  // entries checked before the first failure
    std::wstring entry;    // the failing entry's name, when one is to blame
    std::wstring reason;
};

CheckResult CheckArchive(const std::wstring& path);

}  // namespace pelmo::zip
