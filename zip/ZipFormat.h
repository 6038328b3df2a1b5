// Record signatures and field values of the ZIP format shared by the writer
// and the reader that checks its archives.
#pragma once

#include <cstdint>

namespace pelmo::zip {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50;
constexpr uint32_t kEnd64LocatorSig = 0x07064b50;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint32_t kMax32 = 0xFFFFFFFFu;

}  // namespace pelmo::zip
