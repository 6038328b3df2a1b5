#include "products/FileManifest.h"

#include <wincrypt.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/AppFrame_New.h"
#include "platform/Handles.h"
#include "products/ProductLocations.h"

namespace pelmo {

namespace {


// Each file is digested in reads of this size.
constexpr size_t kReadBytes = 1u << 20;


// The thread's CryptoAPI provider, acquired once: acquiring one costs far
// more than hashing a small file.
class ThreadProvider {
public:
    ~ThreadProvider()
    {
        if (m_prov) CryptReleaseContext(m_prov, 0);
    }
    HCRYPTPROV Get()
    {
        if (!m_prov && !CryptAcquireContextW(&m_prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) m_prov = 0;
        return m_prov;
    }

private:
    HCRYPTPROV m_prov = 0;
};

struct HashHandle {
    HCRYPTHASH hash = 0;
    ~HashHandle()
    {
        if (hash) CryptDestroyHash(hash);
    }
};

}  // namespace

std::vector<std::pair<std::wstring, uint64_t>> ListInstallFiles(const std::wstring& folder)
{
    std::vector<std::pair<std::wstring, uint64_t>> out;
    if (!DirectoryExists(folder)) return out;
    std::deque<std::wstring> queue{folder};
    while (!queue.empty()) {
        const std::wstring dir = IncludeTrailingBackslash(queue.front());
        queue.pop_front();
        WIN32_FIND_DATAW fd;
        UniqueFind find(FindFirstFileW(LongPath(dir + L"*.*").c_str(), &fd));
        if (!find) break;
        do {
            if (IsDots(fd.cFileName)) continue;
            if (IsFolder(fd)) {
                if (!IsLink(fd)) queue.push_back(dir + fd.cFileName + L"\\");
            } else {
                out.emplace_back(dir + fd.cFileName, (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    return out;
}

std::wstring GetFileMD5(const std::wstring& path)
{
    UniqueFile file(CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return {};
    thread_local ThreadProvider provider;
    HashHandle c;
    const HCRYPTPROV prov = provider.Get();
    if (!prov || !CryptCreateHash(prov, CALG_MD5, 0, 0, &c.hash)) return {};
    // Sequential reads into a buffer of this thread's: a read error (a
    // failing disk, a range another process has locked, a file cut short
    // meanwhile) is an answer of ReadFile, never a fault in a system library
    // working on a mapped view; there is no digest then.
    thread_local std::vector<BYTE> buffer(kReadBytes);
    uint64_t left = uint64_t(size.QuadPart);
    while (left > 0) {
        DWORD got = 0;
        const DWORD want = DWORD(std::min<uint64_t>(buffer.size(), left));
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) return {};
        if (!CryptHashData(c.hash, buffer.data(), got, 0)) return {};
        left -= got;
    }
    BYTE digest[16];
    DWORD len = sizeof(digest);
    if (!CryptGetHashParam(c.hash, HP_HASHVAL, digest, &len, 0) || len != 16) return {};
    std::wstring hex;
    for (BYTE b : digest) hex += Format(L"%02x", b);
    return hex;
}

std::wstring FileTimeText(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    SYSTEMTIME st{1899, 12, 0, 30, 0, 0, 0, 0};
    FILETIME local{};
    if (GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data) &&
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local)) {
        SYSTEMTIME t{};
        if (FileTimeToSystemTime(&local, &t)) st = t;
    }
    return RegionalDateTimeText(st);
}

void GetAppFileInfo(LineList& list)
{
    try {
        const std::wstring app = AppPath();
        if (app.empty() || !DirectoryExists(app)) return;
        LineList files;
        ListFolderFiles(app, files);
        if (files.empty()) return;
        list.push_back(kSeparatorLine);
        const std::wstring base = IncludeTrailingBackslash(app);
        for (const auto& f : files) {
            std::wstring relative = f.size() > base.size() ? f.substr(base.size()) : f;
            list.push_back(relative + L"   Ver:" + FixedFileVersion(f) + L"   MD5:" + GetFileMD5(f) + L"   DT:" +
                           FileTimeText(f));
        }
    } catch (...) {
        // The lines so far stay.
    }
}

LineList FilesInfoSection(int row)
{
    std::wstring name, entry;
    switch (row) {
    case 1: name = GetPrevProductKeyName(); entry = GetPrevUninstallKeyName(); break;
    case 2: name = GetProductKeyName(); entry = GetUninstallKeyName(); break;
    case 3: name = L"Molvane Ultimate"; entry = L"Molvane Ultimate_is1"; break;
    case 4: name = L"Pelmo Gardex"; entry = L"Pelmo Gardex_is1"; break;
    default: return {};
    }
    LineList lines{L"", L"===== " + name + L" =====", L""};
    std::wstring location;
    if (!ReadEntryInstallLocation(entry, location)) return lines;
    auto files = location.empty() ? decltype(ListInstallFiles(location)){} : ListInstallFiles(location);
    if (files.empty()) return {};
    for (const auto& [path, size] : files) {
        std::wstring line = path + L", " + FixedFileVersion(path) + L", " + std::to_wstring(size) + L", " +
                            GetFileMD5(path);
        if (row == 4) line += L", DT:" + FileTimeText(path);
        lines.push_back(line);
    }
    return lines;
}

}  // namespace pelmo
