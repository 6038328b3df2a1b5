#include "zip/ZipCheck.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"
#include "zip/ZipFormat.h"

namespace pelmo::zip {

namespace {

constexpr size_t kBufferBytes = 256u << 10;
constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(Get16(p)) | (uint32_t(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | (uint64_t(Get32(p + 4)) << 32); }

// Positioned reads of the archive file.
class Reader {
public:
    explicit Reader(const std::wstring& path)
    {
        const std::wstring openable = path.size() >= 248 && path.rfind(L"\\\\", 0) != 0 ? L"\\\\?\\" + path : path;
        m_file.reset(CreateFileW(openable.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size{};
        if (m_file && GetFileSizeEx(m_file.get(), &size)) m_size = uint64_t(size.QuadPart);
    }
    bool IsOpen() const { return bool(m_file); }
    uint64_t Size() const { return m_size; }
    bool Read(uint64_t offset, void* buffer, size_t n)
    {
        if (offset > m_size || n > m_size - offset) return false;
        LARGE_INTEGER li;
        li.QuadPart = LONGLONG(offset);
        if (!SetFilePointerEx(m_file.get(), li, nullptr, FILE_BEGIN)) return false;
        auto* p = static_cast<uint8_t*>(buffer);
        while (n) {
            DWORD want = DWORD(std::min<size_t>(n, 1u << 30)), got = 0;
            if (!ReadFile(m_file.get(), p, want, &got, nullptr) || got == 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }

private:
    UniqueFile m_file;
    uint64_t m_size = 0;
};

struct CentralEntry {
    std::wstring name;
    std::string rawName;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localOffset = 0;
};

struct Directory {
    uint64_t entries = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

bool FindDirectory(Reader& in, Directory& dir, std::wstring& reason)
{
    const uint64_t tailBytes = std::min<uint64_t>(in.Size(), 22 + 65535);
    std::vector<uint8_t> tail(static_cast<size_t>(tailBytes));
    if (tailBytes < 22 || !in.Read(in.Size() - tailBytes, tail.data(), tail.size())) {
        reason = L"too short for an archive";
        return false;
    }
    size_t at = tail.size() - 22;
    for (;; --at) {
        if (Get32(&tail[at]) == kEndSig && at + 22 + Get16(&tail[at + 20]) == tail.size()) break;
        if (at == 0) {
            reason = L"no end of central directory record";
            return false;
        }
    }
    const uint8_t* end = &tail[at];
    dir.entries = Get16(end + 10);
    dir.size = Get32(end + 12);
    dir.offset = Get32(end + 16);
    const uint64_t endOffset = in.Size() - tailBytes + at;
    if (dir.entries == 0xFFFF || dir.size == kMax32 || dir.offset == kMax32) {
        uint8_t locator[20], end64[56];
        if (endOffset < 20 || !in.Read(endOffset - 20, locator, 20) || Get32(locator) != kEnd64LocatorSig ||
            !in.Read(Get64(locator + 8), end64, 56) || Get32(end64) != kEnd64Sig) {
            reason = L"damaged ZIP64 end records";
            return false;
        }
        dir.entries = Get64(end64 + 32);
        dir.size = Get64(end64 + 40);
        dir.offset = Get64(end64 + 48);
    }
    if (Get16(end + 4) != 0 || Get16(end + 6) != 0 || dir.offset > in.Size() || dir.size > in.Size() - dir.offset ||
        dir.size > kMaxDirectoryBytes) {
        reason = L"central directory out of bounds";
        return false;
    }
    return true;
}

// Reads the next central record at pos; false when it is damaged.
bool ParseCentral(const std::vector<uint8_t>& cd, size_t& pos, CentralEntry& e)
{
    if (pos + 46 > cd.size() || Get32(&cd[pos]) != kCentralSig) return false;
    const uint8_t* h = &cd[pos];
    e.flags = Get16(h + 8);
    e.method = Get16(h + 10);
    e.crc = Get32(h + 16);
    e.compressedSize = Get32(h + 20);
    e.size = Get32(h + 24);
    const size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
    e.localOffset = Get32(h + 42);
    if (pos + 46 + nameLen + extraLen + commentLen > cd.size()) return false;
    e.rawName.assign(reinterpret_cast<const char*>(h + 46), nameLen);
    e.name = FromCodePage(e.rawName, (e.flags & kFlagUtf8) ? CP_UTF8 : CP_OEMCP);
    // ZIP64 sizes and offset, in order, for the fields that are saturated.
    const uint8_t* x = h + 46 + nameLen;
    const uint8_t* xEnd = x + extraLen;
    while (x + 4 <= xEnd) {
        const uint16_t id = Get16(x), len = Get16(x + 2);
        if (x + 4 + len > xEnd) return false;
        if (id == 0x0001) {
            const uint8_t* f = x + 4;
            const uint8_t* fEnd = f + len;
            for (uint64_t* field : {&e.size, &e.compressedSize, &e.localOffset}) {
                if (*field != kMax32) continue;
                if (f + 8 > fEnd) return false;
                *field = Get64(f);
                f += 8;
            }
        }
        x += 4 + len;
    }
    pos += 46 + nameLen + extraLen + commentLen;
    return true;
}

struct InflateStream {
    z_stream z{};
    bool ready = false;
    InflateStream() { ready = inflateInit2(&z, -MAX_WBITS) == Z_OK; }
    ~InflateStream()
    {
        if (ready) inflateEnd(&z);
    }
};

// Inflates or copies the entry's data and compares CRC and sizes.
bool CheckData(Reader& in, const CentralEntry& e, uint64_t dataOffset, std::vector<uint8_t>& input,
               std::vector<uint8_t>& output, std::wstring& reason)
{
    if (e.method != kMethodStored && e.method != kMethodDeflate) {
        reason = Format(L"unknown method %u", unsigned(e.method));
        return false;
    }
    if (dataOffset > in.Size() || e.compressedSize > in.Size() - dataOffset) {
        reason = L"data beyond the end of the archive";
        return false;
    }
    uLong crc = crc32(0, nullptr, 0);
    uint64_t produced = 0, remaining = e.compressedSize, offset = dataOffset;
    InflateStream inflate;
    if (e.method == kMethodDeflate && !inflate.ready) {
        reason = L"no inflater";
        return false;
    }
    int rc = Z_OK;
    while (remaining) {
        const size_t n = size_t(std::min<uint64_t>(remaining, input.size()));
        if (!in.Read(offset, input.data(), n)) {
            reason = L"cannot read the data";
            return false;
        }
        offset += n;
        remaining -= n;
        if (e.method == kMethodStored) {
            crc = crc32(crc, input.data(), uInt(n));
            produced += n;
            continue;
        }
        inflate.z.next_in = input.data();
        inflate.z.avail_in = uInt(n);
        while (inflate.z.avail_in && rc != Z_STREAM_END) {
            inflate.z.next_out = output.data();
            inflate.z.avail_out = uInt(output.size());
            rc = ::inflate(&inflate.z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                reason = L"damaged deflate data";
                return false;
            }
            const size_t got = output.size() - inflate.z.avail_out;
            crc = crc32(crc, output.data(), uInt(got));
            produced += got;
        }
        if (rc == Z_STREAM_END && (inflate.z.avail_in || remaining)) {
            reason = L"deflate data ends early";
            return false;
        }
    }
    // Whatever output the inflater still holds once all input is in.
    while (e.method == kMethodDeflate && rc != Z_STREAM_END) {
        inflate.z.avail_in = 0;
        inflate.z.next_out = output.data();
        inflate.z.avail_out = uInt(output.size());
        rc = ::inflate(&inflate.z, Z_NO_FLUSH);
        const size_t got = output.size() - inflate.z.avail_out;
        crc = crc32(crc, output.data(), uInt(got));
        produced += got;
        if (rc == Z_STREAM_END) break;
        if ((rc != Z_OK && rc != Z_BUF_ERROR) || got == 0) {
            reason = L"deflate data is cut short";
            return false;
        }
    }
    if (produced != e.size) {
        reason = Format(L"size %llu instead of %llu", static_cast<unsigned long long>(produced),
                        static_cast<unsigned long long>(e.size));
        return false;
    }
    if (uint32_t(crc) != e.crc) {
        reason = Format(L"CRC %08lX instead of %08lX", static_cast<unsigned long>(crc),
                        static_cast<unsigned long>(e.crc));
        return false;
    }
    return true;
}

}  // namespace

CheckResult CheckArchive(const std::wstring& path)
{
    CheckResult result;
    Reader in(path);
    if (!in.IsOpen()) {
        result.reason = Format(L"cannot open (error %lu)", GetLastError());
        return result;
    }
    Directory dir;
    if (!FindDirectory(in, dir, result.reason)) return result;
    std::vector<uint8_t> cd(static_cast<size_t>(dir.size));
    if (!cd.empty() && !in.Read(dir.offset, cd.data(), cd.size())) {
        result.reason = L"cannot read the central directory";
        return result;
    }
    std::vector<uint8_t> input(kBufferBytes), output(kBufferBytes);
    size_t pos = 0;
    for (uint64_t i = 0; i < dir.entries; ++i) {
        CentralEntry e;
        if (!ParseCentral(cd, pos, e)) {
            result.reason = Format(L"damaged central record %llu", static_cast<unsigned long long>(i + 1));
            return result;
        }
        result.entry = e.name;
        uint8_t local[30];
        if (!in.Read(e.localOffset, local, 30) || Get32(local) != kLocalSig) {
            result.reason = L"no local header";
            return result;
        }
        const size_t nameLen = Get16(local + 26), extraLen = Get16(local + 28);
        std::string localName(nameLen, '\0');
        if (!in.Read(e.localOffset + 30, localName.data(), nameLen) || localName != e.rawName) {
            result.reason = L"local header names another entry";
            return result;
        }
        if (!CheckData(in, e, e.localOffset + 30 + nameLen + extraLen, input, output, result.reason)) return result;
        ++result.entries;
    }
    if (pos != cd.size()) {
        result.entry.clear();
        result.reason = L"central directory holds more than its entries";
        return result;
    }
    result.entry.clear();
    result.ok = true;
    return result;
}

}  // namespace pelmo::zip
