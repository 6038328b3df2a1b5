// ZIP archive writer on zlib's raw deflate (level 9, memory level 8, default
// strategy). Entries are deflated on several worker threads in chunks and
// written in walk order, so the archive is the same byte for byte whatever
// the number of threads. The archive is built in a side file and moved to its
// name only when complete; on failure no file is left at the archive path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace pelmo::zip {

struct WriterOptions {
    unsigned threads = 0;                     // 0: one per processor
    size_t chunkBytes = 1u << 20;             // input bytes per deflate job
    size_t maxBytesInFlight = 8u << 20;       // input + output held at once
    bool check = true;                        // read the archive back before it is moved into place
    // Called with the side file's path just before the check (tests damage it here).
    std::function<void(const std::wstring&)> beforeCheck;
    // Reads from a source file, as ReadFile does (tests feed the failures
    // the platform gives, such as a range another process has locked).
    std::function<BOOL(HANDLE, void*, DWORD, DWORD*)> read;
};

// A file the writer left out, with the reason.
struct SkippedFile {
    std::wstring path;
    std::wstring reason;
};

// The archive read back wrong; no archive was left at its path.
class ArchiveCheckError : public Error {
public:
    ArchiveCheckError(const std::wstring& entry, const std::wstring& reason);
    const std::wstring& Entry() const { return m_entry; }

private:
    std::wstring m_entry;
};

class ZipWriter {
public:
    // Raises pelmo::Error when the side file cannot be created.
    explicit ZipWriter(std::wstring archivePath, WriterOptions options = {});
    // Without Finish(), removes the side file and leaves no archive.
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Packs every file below root (full path with trailing backslash) that
    // is neither hidden nor system, skipping hidden, system and linked
    // folders; names are relative to root with '/' between folders. An
    // entry is whole or absent: a file that cannot be opened, or whose read
    // fails part-way, is left out and listed in Skipped(). Returns the number
    // of files packed. Raises pelmo::Error on a write failure.
    int AddFolder(const std::wstring& root);
    const std::vector<SkippedFile>& Skipped() const;

    // Writes the central directory, flushes, reads the whole archive back
    // (each entry inflated and its CRC compared) and only then moves it into
    // place. Raises ArchiveCheckError when the check fails.
    void Finish();

    const std::wstring& ArchivePath() const { return m_archivePath; }

private:
    struct Impl;
    std::wstring m_archivePath;
    std::unique_ptr<Impl> m_impl;
};

// True when the name survives a round trip through the OEM code page.
bool FitsOemCodePage(const std::wstring& name);

}  // namespace pelmo::zip
