#include "zip/ZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/PrivateFiles.h"
#include "platform/Text.h"
#include "zip/ZipCheck.h"
#include "zip/ZipFormat.h"

namespace pelmo::zip {

namespace {

constexpr uint16_t kFlagMaxCompression = 0x0002;
constexpr size_t kDictBytes = 32768;

std::wstring ErrorText(const wchar_t* what, const std::wstring& path)
{
    return Format(L"%ls %ls (error %lu)", what, path.c_str(), GetLastError());
}

std::wstring OpenablePath(const std::wstring& p) { return LongPath(p); }

void Put16(std::string& b, uint16_t v)
{
    b.push_back(char(v & 0xFF));
    b.push_back(char(v >> 8));
}
void Put32(std::string& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(char((v >> (8 * i)) & 0xFF));
}
void Put64(std::string& b, uint64_t v)
{
    for (int i = 0; i < 8; ++i) b.push_back(char((v >> (8 * i)) & 0xFF));
}

// Output file with a write buffer that can patch bytes already written.
class BufferedOut {
public:
    void Open(const std::wstring& path)
    {
        m_path = path;
        DeleteFileW(OpenablePath(path).c_str());
        // Made anew, for the elevated run alone, until it is checked and moved.
        m_file.reset(CreateFileW(OpenablePath(path).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0,
                                 PrivateSecurity(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file) throw Error(ErrorText(L"Cannot create", path));
        if (!MakePrivate(m_file.get())) throw Error(ErrorText(L"Cannot protect", path));
        m_buf.reserve(kBufBytes);
    }
    uint64_t Position() const { return m_flushed + m_buf.size(); }
    void Write(const void* data, size_t n)
    {
        const char* p = static_cast<const char*>(data);
        if (m_buf.size() + n > kBufBytes) Flush();
        if (n >= kBufBytes) {
            WriteRaw(p, n);
            m_flushed += n;
            return;
        }
        m_buf.insert(m_buf.end(), p, p + n);
    }
    void Write(const std::string& s) { Write(s.data(), s.size()); }
    // Overwrites bytes at an earlier offset.
    void Patch(uint64_t offset, const std::string& bytes)
    {
        if (offset >= m_flushed) {
            std::memcpy(m_buf.data() + (offset - m_flushed), bytes.data(), bytes.size());
            return;
        }
        Flush();
        Seek(offset);
        WriteRaw(bytes.data(), bytes.size());
        Seek(m_flushed);
    }
    void Flush()
    {
        if (m_buf.empty()) return;
        WriteRaw(m_buf.data(), m_buf.size());
        m_flushed += m_buf.size();
        m_buf.clear();
    }
    void Commit()
    {
        Flush();
        if (!FlushFileBuffers(m_file.get())) throw Error(ErrorText(L"Cannot flush", m_path));
        m_file.reset();
    }
    void Close() { m_file.reset(); }
    // Drops everything from offset on (an entry that was left out).
    void Truncate(uint64_t offset)
    {
        Flush();
        Seek(offset);
        if (!SetEndOfFile(m_file.get())) throw Error(ErrorText(L"Cannot truncate", m_path));
        m_flushed = offset;
    }

private:
    static constexpr size_t kBufBytes = 1u << 20;
    void Seek(uint64_t offset)
    {
        LARGE_INTEGER li;
        li.QuadPart = LONGLONG(offset);
        if (!SetFilePointerEx(m_file.get(), li, nullptr, FILE_BEGIN)) throw Error(ErrorText(L"Cannot seek", m_path));
    }
    void WriteRaw(const char* p, size_t n)
    {
        if (!WriteAllBytes(m_file.get(), p, n)) throw Error(ErrorText(L"Cannot write", m_path));
    }
    std::wstring m_path;
    UniqueFile m_file;
    std::vector<char> m_buf;
    uint64_t m_flushed = 0;
};

struct SourceFile {
    std::wstring fullPath;
    std::wstring name;  // relative, '/' separated
};

struct Entry {
    std::string name;
    uint16_t flags = kFlagMaxCompression;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0x21;
    uint32_t attributes = 0;
    uint64_t sizeBound = 0;  // the most the entry may hold, decided at open
    uint64_t localOffset = 0;
    bool headerWritten = false;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    bool zip64Local = false;
};

// One chunk of one entry.
struct Piece {
    size_t entry = 0;
    bool first = false;
    bool last = false;
    std::vector<unsigned char> input;
    std::vector<unsigned char> dict;
    std::vector<unsigned char> output;
    uint32_t crc = 0;
};

// The unit of work of a worker: one chunk of a large file, or the whole of
// several small files, so that thread hand-overs stay few.
struct Job {
    std::vector<Piece> pieces;
    size_t inputBytes = 0;
    bool done = false;
    std::exception_ptr error;
};

// Raw deflate of one chunk, primed with the preceding 32 KiB of the entry so
// that the chunks join into one stream that compresses like a single pass.
class Deflater {
public:
    Deflater()
    {
        std::memset(&m_z, 0, sizeof(m_z));
        if (deflateInit2(&m_z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw Error(L"deflateInit2 failed");
    }
    ~Deflater() { deflateEnd(&m_z); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void Run(Piece& job)
    {
        if (deflateReset(&m_z) != Z_OK) throw Error(L"deflateReset failed");
        if (!job.dict.empty() &&
            deflateSetDictionary(&m_z, job.dict.data(), uInt(job.dict.size())) != Z_OK)
            throw Error(L"deflateSetDictionary failed");
        job.output.resize(deflateBound(&m_z, uLong(job.input.size())) + 64);
        m_z.next_in = job.input.data();
        m_z.avail_in = uInt(job.input.size());
        size_t produced = 0;
        const int flush = job.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            m_z.next_out = job.output.data() + produced;
            m_z.avail_out = uInt(job.output.size() - produced);
            int rc = deflate(&m_z, flush);
            produced = job.output.size() - m_z.avail_out;
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) throw Error(L"deflate failed");
            if (!job.last && m_z.avail_in == 0 && m_z.avail_out != 0) break;
            job.output.resize(job.output.size() * 2);
        }
        job.output.resize(produced);
        job.crc = uint32_t(crc32(0, job.input.data(), uInt(job.input.size())));
    }

private:
    z_stream m_z;
};

}  // namespace

bool FitsOemCodePage(const std::wstring& name)
{
    if (name.empty()) return true;
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, name.data(), int(name.size()), nullptr, 0,
                                nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    std::string oem(size_t(n), '\0');
    WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, name.data(), int(name.size()), oem.data(), n, nullptr,
                        &usedDefault);
    if (usedDefault) return false;
    int m = MultiByteToWideChar(CP_OEMCP, 0, oem.data(), n, nullptr, 0);
    std::wstring back(size_t(m > 0 ? m : 0), L'\0');
    if (m > 0) MultiByteToWideChar(CP_OEMCP, 0, oem.data(), n, back.data(), m);
    return back == name;
}

struct ZipWriter::Impl {
    WriterOptions options;
    std::wstring sidePath;
    BufferedOut out;
    std::deque<Entry> entries;
    std::vector<SkippedFile> skipped;
    bool finished = false;

    // Worker pool.
    std::mutex mu;
    std::condition_variable workCv;
    std::condition_variable doneCv;
    std::deque<Job*> queue;
    bool stopping = false;
    std::vector<std::thread> workers;

    // Jobs submitted and not yet written, in archive order.
    std::deque<std::unique_ptr<Job>> inflight;
    std::unique_ptr<Job> filling;
    size_t bytesInFlight = 0;

    explicit Impl(WriterOptions o) : options(o)
    {
        if (options.chunkBytes < kDictBytes) options.chunkBytes = kDictBytes;
        unsigned n = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < n; ++i) workers.emplace_back([this] { WorkerLoop(); });
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> lock(mu);
            stopping = true;
        }
        workCv.notify_all();
        for (auto& t : workers) t.join();
    }

    void WorkerLoop()
    {
        std::unique_ptr<Deflater> deflater;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mu);
                workCv.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping) return;
                job = queue.front();
                queue.pop_front();
            }
            try {
                if (!deflater) deflater = std::make_unique<Deflater>();
                for (Piece& piece : job->pieces) deflater->Run(piece);
            } catch (...) {
                job->error = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(mu);
                job->done = true;
            }
            doneCv.notify_all();
        }
    }

    static size_t Cost(size_t inputBytes) { return inputBytes * 2 + kDictBytes; }

    // Adds a piece to the job being filled; the job goes to the workers once
    // it holds a chunk's worth of input.
    void AddPiece(Piece piece)
    {
        if (!filling) filling = std::make_unique<Job>();
        filling->inputBytes += piece.input.size();
        filling->pieces.push_back(std::move(piece));
        if (filling->inputBytes >= options.chunkBytes || filling->pieces.size() >= 256) SubmitFilling();
    }

    void SubmitFilling()
    {
        if (!filling) return;
        std::unique_ptr<Job> job = std::move(filling);
        const size_t cost = Cost(job->inputBytes);
        while (!inflight.empty() &&
               (bytesInFlight + cost > options.maxBytesInFlight || inflight.size() >= 4 * workers.size() + 4))
            WriteOldest();
        bytesInFlight += cost;
        Job* raw = job.get();
        inflight.push_back(std::move(job));
        {
            std::lock_guard<std::mutex> lock(mu);
            queue.push_back(raw);
        }
        workCv.notify_one();
    }

    void WriteOldest()
    {
        Job* job = inflight.front().get();
        {
            std::unique_lock<std::mutex> lock(mu);
            doneCv.wait(lock, [job] { return job->done; });
        }
        if (job->error) std::rethrow_exception(job->error);
        for (const Piece& piece : job->pieces) {
            Entry& e = entries[piece.entry];
            if (piece.first) WriteLocalHeader(e);
            out.Write(piece.output.data(), piece.output.size());
            e.compressed += piece.output.size();
            e.crc = piece.first ? piece.crc
                                : uint32_t(crc32_combine(e.crc, piece.crc, z_off_t(piece.input.size())));
            e.uncompressed += piece.input.size();
            if (piece.last) PatchLocalHeader(e);
        }
        bytesInFlight -= Cost(job->inputBytes);
        inflight.pop_front();
    }

    void DrainAll()
    {
        SubmitFilling();
        while (!inflight.empty()) WriteOldest();
    }

    static bool NeedsZip64Sizes(uint64_t size)
    {
        // Worst case of deflate on incompressible data plus the sync markers
        // between chunks.
        uint64_t bound = size + (size >> 12) + (size >> 14) + (size >> 25) + 64 + (size >> 18);
        return bound >= kMax32;
    }

    std::string LocalHeader(const Entry& e, bool final) const
    {
        std::string h;
        Put32(h, kLocalSig);
        Put16(h, e.zip64Local ? 45 : 20);
        Put16(h, e.flags);
        Put16(h, kMethodDeflate);
        Put16(h, e.dosTime);
        Put16(h, e.dosDate);
        Put32(h, final ? e.crc : 0);
        if (e.zip64Local) {
            Put32(h, kMax32);
            Put32(h, kMax32);
        } else {
            Put32(h, final ? uint32_t(e.compressed) : 0);
            Put32(h, final ? uint32_t(e.uncompressed) : 0);
        }
        Put16(h, uint16_t(e.name.size()));
        Put16(h, e.zip64Local ? 20 : 0);
        h += e.name;
        if (e.zip64Local) {
            Put16(h, 0x0001);
            Put16(h, 16);
            Put64(h, final ? e.uncompressed : 0);
            Put64(h, final ? e.compressed : 0);
        }
        return h;
    }

    void WriteLocalHeader(Entry& e)
    {
        e.localOffset = out.Position();
        e.headerWritten = true;
        e.zip64Local = NeedsZip64Sizes(e.sizeBound);
        out.Write(LocalHeader(e, false));
    }

    void PatchLocalHeader(const Entry& e) { out.Patch(e.localOffset, LocalHeader(e, true)); }

    void WriteCentralDirectory()
    {
        const uint64_t cdStart = out.Position();
        for (const Entry& e : entries) {
            const bool bigSizes = e.zip64Local;
            const bool bigOffset = e.localOffset >= kMax32;
            std::string extra;
            if (bigSizes) {
                Put64(extra, e.uncompressed);
                Put64(extra, e.compressed);
            }
            if (bigOffset) Put64(extra, e.localOffset);
            std::string zip64;
            if (!extra.empty()) {
                Put16(zip64, 0x0001);
                Put16(zip64, uint16_t(extra.size()));
                zip64 += extra;
            }
            const uint16_t version = (bigSizes || bigOffset) ? 45 : 20;
            std::string h;
            Put32(h, kCentralSig);
            Put16(h, version);  // made by: MS-DOS attributes
            Put16(h, version);
            Put16(h, e.flags);
            Put16(h, kMethodDeflate);
            Put16(h, e.dosTime);
            Put16(h, e.dosDate);
            Put32(h, e.crc);
            Put32(h, bigSizes ? kMax32 : uint32_t(e.compressed));
            Put32(h, bigSizes ? kMax32 : uint32_t(e.uncompressed));
            Put16(h, uint16_t(e.name.size()));
            Put16(h, uint16_t(zip64.size()));
            Put16(h, 0);  // comment
            Put16(h, 0);  // disk
            Put16(h, 0);  // internal attributes
            Put32(h, e.attributes);
            Put32(h, bigOffset ? kMax32 : uint32_t(e.localOffset));
            h += e.name;
            h += zip64;
            out.Write(h);
        }
        const uint64_t cdEnd = out.Position();
        const uint64_t cdSize = cdEnd - cdStart;
        const uint64_t count = entries.size();
        const bool need64 = count >= 0xFFFF || cdSize >= kMax32 || cdStart >= kMax32;
        std::string t;
        if (need64) {
            Put32(t, kEnd64Sig);
            Put64(t, 44);
            Put16(t, 45);
            Put16(t, 45);
            Put32(t, 0);
            Put32(t, 0);
            Put64(t, count);
            Put64(t, count);
            Put64(t, cdSize);
            Put64(t, cdStart);
            Put32(t, kEnd64LocatorSig);
            Put32(t, 0);
            Put64(t, cdEnd);
            Put32(t, 1);
        }
        Put32(t, kEndSig);
        Put16(t, 0);
        Put16(t, 0);
        Put16(t, need64 ? 0xFFFF : uint16_t(count));
        Put16(t, need64 ? 0xFFFF : uint16_t(count));
        Put32(t, need64 ? kMax32 : uint32_t(cdSize));
        Put32(t, need64 ? kMax32 : uint32_t(cdStart));
        Put16(t, 0);
        out.Write(t);
    }

    void Walk(const std::wstring& folder, const std::wstring& prefix, const std::wstring& skipA,
              const std::wstring& skipB, std::vector<SourceFile>& files)
    {
        WIN32_FIND_DATAW fd;
        UniqueFind find(FindFirstFileNoShortNames(OpenablePath(folder + L"*"), fd));
        if (!find) return;
        struct Item {
            std::wstring name;
            DWORD attributes;
        };
        std::vector<Item> items;
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            items.push_back({name, fd.dwFileAttributes});
        } while (FindNextFileW(find.get(), &fd));
        find.reset();
        std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
            return CompareOrdinalNoCase(a.name, b.name) < 0;
        });
        const DWORD skipMask = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
        for (const Item& it : items) {
            if ((it.attributes & FILE_ATTRIBUTE_DIRECTORY) || (it.attributes & skipMask)) continue;
            std::wstring full = folder + it.name;
            if (SameText(full, skipA) || SameText(full, skipB)) continue;
            files.push_back({full, prefix + it.name});
        }
        for (const Item& it : items) {
            if (!(it.attributes & FILE_ATTRIBUTE_DIRECTORY) || (it.attributes & skipMask)) continue;
            Walk(folder + it.name + L"\\", prefix + it.name + L"/", skipA, skipB, files);
        }
    }

    bool Skip(const SourceFile& f, const std::wstring& reason)
    {
        skipped.push_back({f.fullPath, reason});
        return false;
    }

    // Takes back the last entry, whose data could not be read whole: what
    // was written of it goes, so the archive holds no short entry.
    void DropLastEntry()
    {
        DrainAll();
        if (entries.back().headerWritten) out.Truncate(entries.back().localOffset);
        entries.pop_back();
    }

    BOOL Read(HANDLE h, void* buf, DWORD want, DWORD* got) const
    {
        return options.read ? options.read(h, buf, want, got) : ReadFile(h, buf, want, got, nullptr);
    }

    bool AddFile(const SourceFile& f)
    {
        UniqueFile h(CreateFileW(OpenablePath(f.fullPath).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!h) return Skip(f, Format(L"cannot be opened (error %lu)", GetLastError()));
        // Basic information and size only: the full record also asks for the
        // volume, which costs far more on some systems.
        FILETIME written{};
        DWORD attributes = 0;
        LARGE_INTEGER size{};
        if (!QueryBasicFileInfo(h.get(), written, attributes) || !GetFileSizeEx(h.get(), &size))
            return Skip(f, Format(L"cannot be read (error %lu)", GetLastError()));
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;

        Entry e;
        const bool oem = FitsOemCodePage(f.name);
        if (oem) {
            int n = WideCharToMultiByte(CP_OEMCP, 0, f.name.data(), int(f.name.size()), nullptr, 0, nullptr,
                                        nullptr);
            e.name.resize(size_t(n));
            WideCharToMultiByte(CP_OEMCP, 0, f.name.data(), int(f.name.size()), e.name.data(), n, nullptr,
                                nullptr);
        } else {
            e.name = ToUtf8(f.name);  // not representable in the OEM code page
            e.flags |= kFlagUtf8;
        }
        if (e.name.size() > 0xFFFF) return Skip(f, L"name too long");
        FILETIME local;
        WORD date = 0, time = 0;
        if (FileTimeToLocalFileTime(&written, &local) && FileTimeToDosDateTime(&local, &date, &time)) {
            e.dosDate = date;
            e.dosTime = time;
        }
        e.attributes = attributes;
        // The entry holds what the file had when it was opened; growth while
        // it is read is left out, so sizes and CRC always match the bytes.
        const uint64_t cap = uint64_t(size.QuadPart);
        e.sizeBound = cap;
        const size_t index = entries.size();
        entries.push_back(std::move(e));

        uint64_t readTotal = 0;
        std::vector<unsigned char> tail;
        bool first = true;
        for (;;) {
            Piece piece;
            piece.entry = index;
            piece.first = first;
            const size_t want = size_t(std::min<uint64_t>(options.chunkBytes, cap - readTotal));
            piece.input.resize(want);
            size_t got = 0;
            while (got < want) {
                DWORD n = 0;
                if (!Read(h.get(), piece.input.data() + got, DWORD(want - got), &n)) {
                    const DWORD error = GetLastError();
                    DropLastEntry();
                    return Skip(f, Format(L"read error at offset %llu (error %lu)",
                                          static_cast<unsigned long long>(readTotal + got), error));
                }
                if (n == 0) break;  // the file ended early: the entry holds what it had
                got += n;
            }
            piece.input.resize(got);
            readTotal += got;
            piece.last = got < want || readTotal >= cap;
            piece.dict = std::move(tail);
            if (!piece.last) {
                const size_t keep = std::min(kDictBytes, got);
                tail.assign(piece.input.end() - ptrdiff_t(keep), piece.input.end());
            }
            const bool last = piece.last;
            AddPiece(std::move(piece));
            first = false;
            if (last) break;
        }
        return true;
    }
};

ArchiveCheckError::ArchiveCheckError(const std::wstring& entry, const std::wstring& reason)
    : Error(L"Archive check failed" + (entry.empty() ? std::wstring() : L" at " + entry) + L": " + reason),
      m_entry(entry)
{
}

ZipWriter::ZipWriter(std::wstring archivePath, WriterOptions options)
    : m_archivePath(std::move(archivePath)), m_impl(std::make_unique<Impl>(options))
{
    m_impl->sidePath = m_archivePath + L".part";
    m_impl->out.Open(m_impl->sidePath);
}

ZipWriter::~ZipWriter()
{
    if (!m_impl->finished) {
        // Stop the workers before the jobs they may still hold are freed.
        std::wstring side = m_impl->sidePath;
        m_impl.reset();
        DeleteFileW(OpenablePath(side).c_str());
    }
}

int ZipWriter::AddFolder(const std::wstring& root)
{
    std::vector<SourceFile> files;
    m_impl->Walk(IncludeTrailingBackslash(root), L"", ExpandFileName(m_archivePath),
                 ExpandFileName(m_impl->sidePath), files);
    int count = 0;
    for (const SourceFile& f : files) {
        if (m_impl->AddFile(f)) ++count;
    }
    m_impl->DrainAll();
    return count;
}

const std::vector<SkippedFile>& ZipWriter::Skipped() const { return m_impl->skipped; }

void ZipWriter::Finish()
{
    m_impl->DrainAll();
    m_impl->WriteCentralDirectory();
    m_impl->out.Commit();
    if (m_impl->options.check) {
        if (m_impl->options.beforeCheck) m_impl->options.beforeCheck(m_impl->sidePath);
        CheckResult check = CheckArchive(m_impl->sidePath);
        if (!check.ok) {
            DeleteFileW(OpenablePath(m_impl->sidePath).c_str());
            throw ArchiveCheckError(check.entry, check.reason);
        }
    }
    if (!MoveFileExW(OpenablePath(m_impl->sidePath).c_str(), OpenablePath(m_archivePath).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw Error(ErrorText(L"Cannot move archive into place:", m_archivePath));
    m_impl->finished = true;
}

}  // namespace pelmo::zip
