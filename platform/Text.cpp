#include "platform/Text.h"

#include <shellapi.h>

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <algorithm>

#include "platform/Handles.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace pelmo {

Error::Error(std::wstring message) : m_message(std::move(message)), m_narrow(ToUtf8(m_message)) {}

std::wstring Format(const wchar_t* fmt, ...)
{
    std::wstring out(256, L'\0');
    for (;;) {
        va_list ap;
        va_start(ap, fmt);
        int n = _vsnwprintf(out.data(), out.size(), fmt, ap);
        va_end(ap);
        if (n >= 0 && size_t(n) < out.size()) {
            out.resize(size_t(n));
            return out;
        }
        out.resize(out.size() * 2);
    }
}

static std::wstring MapCase(std::wstring_view s, DWORD flag)
{
    std::wstring out(s);
    if (!out.empty()) {
        if (flag == LCMAP_UPPERCASE)
            CharUpperBuffW(out.data(), DWORD(out.size()));
        else
            CharLowerBuffW(out.data(), DWORD(out.size()));
    }
    return out;
}

std::wstring ToUpper(std::wstring_view s) { return MapCase(s, LCMAP_UPPERCASE); }
std::wstring ToLower(std::wstring_view s) { return MapCase(s, LCMAP_LOWERCASE); }

bool SameText(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() && ToUpper(a) == ToUpper(b);
}

bool EndsWithText(std::wstring_view s, std::wstring_view suffix)
{
    return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

std::wstring ReplaceAllText(std::wstring_view s, std::wstring_view from, std::wstring_view to)
{
    if (from.empty()) return std::wstring(s);
    std::wstring upper = ToUpper(s);
    std::wstring upperFrom = ToUpper(from);
    std::wstring out;
    size_t pos = 0;
    for (;;) {
        size_t hit = upper.find(upperFrom, pos);
        if (hit == std::wstring::npos) break;
        out.append(s.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(s.substr(pos));
    return out;
}

std::wstring Trim(std::wstring_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && s[b] <= L' ') ++b;
    while (e > b && s[e - 1] <= L' ') --e;
    return std::wstring(s.substr(b, e - b));
}

std::string ToCodePage(std::wstring_view s, UINT codePage)
{
    if (s.empty()) return {};
    int n = WideCharToMultiByte(codePage, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(codePage, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring FromCodePage(std::string_view s, UINT codePage)
{
    if (s.empty()) return {};
    int n = MultiByteToWideChar(codePage, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(codePage, 0, s.data(), int(s.size()), out.data(), n);
    return out;
}

bool WriteAllBytes(HANDLE h, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size) {
        DWORD done = 0;
        const DWORD part = DWORD(std::min<size_t>(size, 1u << 24));
        if (!WriteFile(h, p, part, &done, nullptr) || done == 0) return false;
        p += done;
        size -= done;
    }
    return true;
}

std::wstring ExtractFilePath(std::wstring_view path)
{
    size_t p = path.find_last_of(L"\\:");
    return p == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, p + 1));
}

std::wstring ExtractFileName(std::wstring_view path)
{
    size_t p = path.find_last_of(L"\\:");
    return std::wstring(p == std::wstring_view::npos ? path : path.substr(p + 1));
}

std::wstring ExtractFileDir(std::wstring_view path)
{
    std::wstring dir = ExtractFilePath(path);
    if (dir.size() > 1 && dir.back() == L'\\' && dir[dir.size() - 2] != L':') dir.pop_back();
    return dir;
}

std::wstring IncludeTrailingBackslash(std::wstring_view path)
{
    std::wstring out(path);
    if (out.empty() || out.back() != L'\\') out.push_back(L'\\');
    return out;
}

std::wstring ExcludeTrailingBackslash(std::wstring_view path)
{
    std::wstring out(path);
    while (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

std::wstring ChangeFileExt(std::wstring_view path, std::wstring_view ext)
{
    size_t p = path.find_last_of(L".\\:");
    std::wstring out(path);
    if (p != std::wstring_view::npos && path[p] == L'.') out.resize(p);
    out.append(ext);
    return out;
}

std::wstring ExpandFileName(std::wstring_view path)
{
    std::wstring in(path);
    std::wstring out(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFullPathNameW(in.c_str(), DWORD(out.size()), out.data(), nullptr);
        if (n == 0) return in;
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.resize(n + 1);
    }
}

std::wstring LongPath(std::wstring_view path)
{
    if (path.size() < 248 || path.rfind(L"\\\\?\\", 0) == 0) return std::wstring(path);
    // The prefix turns off the system's own parsing: the path is made
    // absolute and "." and ".." are resolved first.
    std::wstring full(path);
    std::vector<wchar_t> buf(full.size() + MAX_PATH);
    for (;;) {
        DWORD n = GetFullPathNameW(full.c_str(), DWORD(buf.size()), buf.data(), nullptr);
        if (n == 0) break;
        if (n < buf.size()) {
            full.assign(buf.data(), n);
            break;
        }
        buf.resize(n + 1);
    }
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool FileExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(LongPath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(LongPath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsReparsePoint(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(LongPath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::wstring FreeNameBeside(const std::wstring& path)
{
    const bool folder = !path.empty() && path.back() == L'\\';
    const std::wstring full = ExcludeTrailingBackslash(path);
    const std::wstring name = ExtractFileName(full);
    const std::wstring dir = full.substr(0, full.size() - name.size());
    const size_t dot = name.rfind(L'.');
    const std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    const std::wstring suffix = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    for (int i = 2; i < 1000; ++i) {
        const std::wstring candidate = dir + stem + Format(L" (%d)", i) + suffix;
        // Only a name that is really free: a broken link or an unreadable
        // entry counts as taken.
        if (GetFileAttributesW(LongPath(candidate).c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND)
            return folder ? candidate + L"\\" : candidate;
    }
    return {};
}

bool ForceDirectories(const std::wstring& path)
{
    std::wstring dir = ExcludeTrailingBackslash(path);
    if (dir.empty()) return false;
    if (DirectoryExists(dir)) return true;
    std::wstring parent = ExtractFileDir(dir);
    if (!parent.empty() && parent != dir && !DirectoryExists(parent)) {
        if (!ForceDirectories(parent)) return false;
    }
    return CreateDirectoryW(LongPath(dir).c_str(), nullptr) || DirectoryExists(dir);
}

std::wstring ModuleFileName(HMODULE module)
{
    std::wstring s(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, s.data(), DWORD(s.size()));
        if (n == 0) return {};
        if (n < s.size()) {
            s.resize(n);
            return s;
        }
        s.resize(s.size() * 2);
    }
}

HMODULE ThisModule() { return reinterpret_cast<HMODULE>(&__ImageBase); }

std::wstring ApplicationFolder() { return ExtractFilePath(ModuleFileName(nullptr)); }

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine)
{
    std::vector<std::wstring> out;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &argc);
    if (!argv) return out;
    UniqueLocal hold(argv);
    for (int i = 1; i < argc; ++i) out.emplace_back(argv[i]);
    return out;
}

std::vector<std::wstring> CommandLineArguments() { return SplitCommandLine(GetCommandLineW()); }

void SaveLineList(const LineList& list, const std::wstring& path)
{
    std::wstring text;
    text.push_back(wchar_t(0xFEFF));
    for (const auto& line : list) {
        text += line;
        text += L"\r\n";
    }
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw Error(Format(L"Cannot create file \"%ls\". (error %lu)", path.c_str(), GetLastError()));
    if (!WriteAllBytes(f.get(), text.data(), text.size() * sizeof(wchar_t)))
        throw Error(Format(L"Cannot write file \"%ls\". (error %lu)", path.c_str(), GetLastError()));
}

std::wstring RegionalDateTimeText(const SYSTEMTIME& t)
{
    wchar_t date[128] = {}, time[128] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, date, 128);
    std::wstring out = date;
    if (t.wHour || t.wMinute || t.wSecond || t.wMilliseconds) {
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, time, 128);
        out += L' ';
        out += time;
    }
    return out;
}

}  // namespace pelmo
