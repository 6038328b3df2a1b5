#include "platform/Log.h"

#include <atomic>
#include <mutex>

#include "platform/Text.h"

namespace pelmo {

namespace {

std::atomic<int> g_enabled{-1};  // -1: not decided yet

TLogManage& Manager()
{
    static TLogManage manager;
    return manager;
}

std::wstring TimeSeparator()
{
    wchar_t sep[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, sep, 8) <= 1) return L":";
    return sep;
}

}  // namespace

std::wstring LogTimeStamp(const SYSTEMTIME& t)
{
    std::wstring sep = TimeSeparator();
    return Format(L"%04u-%02u-%02u %02u%ls%02u%ls%02u.%03u  ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  sep.c_str(), t.wMinute, sep.c_str(), t.wSecond, t.wMilliseconds);
}

bool TrimLogFile(const std::wstring& path, int32_t limit)
{
    if (!FileExists(path)) return true;
    UniqueFile in(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(in.get(), &size)) return false;
    if (size.QuadPart <= limit) return true;
    // Only the tail is kept: read it and write it to a side file, then swap,
    // so that a failure leaves the original untouched.
    LARGE_INTEGER from{};
    from.QuadPart = size.QuadPart - limit;
    if (!SetFilePointerEx(in.get(), from, nullptr, FILE_BEGIN)) return false;
    std::string tail(size_t(limit), '\0');
    DWORD got = 0, total = 0;
    while (total < DWORD(limit)) {
        if (!ReadFile(in.get(), tail.data() + total, DWORD(limit) - total, &got, nullptr)) return false;
        if (got == 0) break;
        total += got;
    }
    if (total != DWORD(limit)) return false;
    in.reset();
    std::wstring side = path + L".trim";
    DeleteFileW(side.c_str());
    {
        UniqueFile out(CreateFileW(side.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return false;
        if (!WriteAllBytes(out.get(), tail.data(), DWORD(limit)) || !FlushFileBuffers(out.get())) {
            out.reset();
            DeleteFileW(side.c_str());
            return false;
        }
    }
    if (!MoveFileExW(side.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(side.c_str());
        return false;
    }
    return true;
}

TLogObj::TLogObj(const std::wstring& fileName)
{
    m_modulePath = ModuleFileName(ThisModule());
    std::wstring base = fileName.empty() ? ChangeFileExt(m_modulePath, L".log") : fileName;
    m_fileName = base;
    sizeLimit = kLogSizeLimit;
    TrimLogFile(base, kLogSizeLimit);
    for (int n = 0;; ++n) {
        if (n > 0) m_fileName = ChangeFileExt(base, L"_" + std::to_wstring(n) + L".log");
        if (!FileExists(m_fileName)) {
            std::wstring dir = ExtractFileDir(m_fileName);
            if (!dir.empty() && !DirectoryExists(dir)) ForceDirectories(dir);
            UniqueFile created(CreateFileW(m_fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!created) throw Error(L"Cannot create file " + m_fileName);
        }
        m_stream.reset(CreateFileW(m_fileName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (m_stream) break;
        if (n >= 1000) throw Error(L"Cannot open file " + m_fileName);
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(m_stream.get(), &size);
    m_size = int32_t(size.QuadPart);
    LARGE_INTEGER zero{};
    SetFilePointerEx(m_stream.get(), zero, nullptr, FILE_END);
}

TLogObj::~TLogObj()
{
    bool empty = m_size == 0;
    m_stream.reset();
    if (empty && !m_fileName.empty()) DeleteFileW(m_fileName.c_str());
}

void TLogObj::Write(const std::wstring& text, bool detail)
{
    CriticalSection::Guard hold(m_lock);
    if (detail && !FileExists(ExtractFilePath(m_modulePath) + L"detaillog.ldt")) return;
    if (m_size == 0) {
        const unsigned char bom[2] = {0xFF, 0xFE};
        if (!WriteAllBytes(m_stream.get(), bom, 2)) throw Error(L"Log write failed");
        m_size = 2;
    }
    std::wstring line;
    if (timeStamps) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        line = LogTimeStamp(now);
    }
    line += text;
    line += L"\r\n";
    DWORD bytes = DWORD(line.size() * sizeof(wchar_t));
    if (!WriteAllBytes(m_stream.get(), line.data(), bytes)) throw Error(L"Log write failed");
    m_size += int32_t(bytes);
}

void TLogManage::SetFileName(const std::wstring& path)
{
    CriticalSection::Guard hold(m_lock);
    m_fileName = path;
    if (m_writer && !SameText(m_writer->FileName(), path)) m_writer.reset();
}

std::wstring TLogManage::FileName()
{
    CriticalSection::Guard hold(m_lock);
    return m_fileName;
}

void TLogManage::Write(const std::wstring& text, bool detail)
{
    CriticalSection::Guard hold(m_lock);
    try {
        if (!m_writer) {
            m_writer = std::make_unique<TLogObj>(m_fileName);
            m_writer->timeStamps = m_timeStamps;
            m_writer->sizeLimit = m_sizeLimit;
        }
        m_writer->Write(text, detail);
        if (m_closeAfterEachLine) m_writer.reset();
    } catch (...) {
        m_writer.reset();
    }
}

void TLogManage::WhileLocked(const std::function<void()>& fn)
{
    CriticalSection::Guard hold(m_lock);
    fn();
}

bool HasLogSwitch(const std::vector<std::wstring>& args)
{
    for (const auto& a : args) {
        if (a.size() == 4 && (a[0] == L'-' || a[0] == L'/') && SameText(a.substr(1), L"LOG")) return true;
    }
    return false;
}

void InitLogging()
{
    int expected = -1;
    g_enabled.compare_exchange_strong(expected, HasLogSwitch(CommandLineArguments()) ? 1 : 0);
}

bool LoggingEnabled()
{
    if (g_enabled.load() < 0) InitLogging();
    return g_enabled.load() == 1;
}

void SetLoggingEnabled(bool on) { g_enabled.store(on ? 1 : 0); }

void SetLogFileName(const std::wstring& path) { Manager().SetFileName(path); }

void WhileLogLocked(const std::function<void()>& fn) { Manager().WhileLocked(fn); }

void WriteLog(const std::wstring& text)
{
    if (!LoggingEnabled()) return;
    try {
        Manager().Write(L">>|" + text + L"|<<", false);
    } catch (...) {
    }
}

}  // namespace pelmo
