#include "tests/fakes/TempDir.h"

#include <atomic>
#include <stdexcept>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo::test {

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, tmp);
    m_path = Format(L"%lspelmo-test-%lu-%d\\", tmp, GetCurrentProcessId(), counter++);
    DeleteTree(m_path);
    if (!ForceDirectories(m_path)) throw std::runtime_error("cannot create temp dir");
}

TempDir::~TempDir() { DeleteTree(m_path); }

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    ForceDirectories(ExtractFileDir(path));
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw std::runtime_error("cannot create " + ToUtf8(path));
    DWORD done = 0;
    if (!bytes.empty() && !WriteFile(f.get(), bytes.data(), DWORD(bytes.size()), &done, nullptr))
        throw std::runtime_error("cannot write " + ToUtf8(path));
}

std::string ReadBytes(const std::wstring& path)
{
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return {};
    LARGE_INTEGER size{};
    GetFileSizeEx(f.get(), &size);
    std::string out(size_t(size.QuadPart), '\0');
    DWORD got = 0;
    if (!out.empty()) ReadFile(f.get(), out.data(), DWORD(out.size()), &got, nullptr);
    out.resize(got);
    return out;
}

void DeleteTree(const std::wstring& path)
{
    std::wstring dir = IncludeTrailingBackslash(path);
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((dir + L"*").c_str(), &fd));
    if (find) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                DeleteTree(full);
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(full.c_str());
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(ExcludeTrailingBackslash(dir).c_str());
}

}  // namespace pelmo::test

namespace pelmo::test {
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target)
{
    CreateSymbolicLinkW(link.c_str(), target.c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged create */);
    DWORD a = GetFileAttributesW(link.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}
}  // namespace pelmo::test
