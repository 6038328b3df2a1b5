#include "platform/FileCopy.h"

#include <vector>

#include "platform/Text.h"

namespace pelmo {

std::wstring FullPathName(const std::wstring& path)
{
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetFullPathNameW(path.c_str(), DWORD(buf.size()), buf.data(), nullptr);
        if (n == 0) return path;
        if (n < buf.size()) return std::wstring(buf.data(), n);
        buf.resize(n + 1);
    }
}

bool PathInside(const std::wstring& root, const std::wstring& path)
{
    const std::wstring r = IncludeTrailingBackslash(FullPathName(root));
    const std::wstring p = FullPathName(path);
    return p.size() > r.size() && SameText(p.substr(0, r.size()), r);
}

bool NoLinksBelow(const std::wstring& root, const std::wstring& folder)
{
    std::wstring path = ExcludeTrailingBackslash(root);
    if (IsReparsePoint(path)) return false;
    const std::wstring r = IncludeTrailingBackslash(root);
    std::wstring rest = folder.size() > r.size() ? folder.substr(r.size()) : L"";
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t next = rest.find(L'\\', pos);
        if (next == std::wstring::npos) next = rest.size();
        if (next > pos) {
            path += L"\\" + rest.substr(pos, next - pos);
            if (IsReparsePoint(path)) return false;
        }
        pos = next + 1;
    }
    return true;
}

bool CopyFileInto(const std::wstring& root, const std::wstring& source, const std::wstring& destination,
                  Overwrite overwrite)
{
    const std::wstring dest = FullPathName(destination);
    if (!PathInside(root, dest) || IsReparsePoint(source)) return false;
    const std::wstring folder = ExtractFileDir(dest);
    if (!NoLinksBelow(root, folder)) return false;
    if (!DirectoryExists(folder) && !ForceDirectories(folder)) return false;
    if (!NoLinksBelow(root, folder)) return false;
    DWORD attrs = GetFileAttributesW(LongPath(dest).c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) {
        if (overwrite == Overwrite::No || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        // An earlier copy may carry the source's read-only attribute.
        if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(LongPath(dest).c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
    }
    return CopyFileW(LongPath(source).c_str(), LongPath(dest).c_str(), overwrite == Overwrite::No) != FALSE;
}

}  // namespace pelmo
