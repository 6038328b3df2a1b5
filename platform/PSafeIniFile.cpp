#include "platform/PSafeIniFile.h"

#include <cwctype>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

namespace {

// Folder part for the path rules: before the last backslash; the root keeps
// its backslash; a lone leading backslash gives "\".
std::wstring IniFolderPart(const std::wstring& path)
{
    size_t p = path.find_last_of(L'\\');
    if (p == std::wstring::npos) return {};
    if (p == 0) return L"\\";
    if (p == 2 && path[1] == L':') return path.substr(0, 3);
    return path.substr(0, p);
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && LeapYear(y) ? 29 : days[m - 1];
}

struct Scanner {
    const std::wstring& s;
    size_t i = 0;
    void Blanks()
    {
        while (i < s.size() && s[i] == L' ') ++i;
    }
    bool Number(int& v, int maxDigits = 9)
    {
        size_t start = i;
        v = 0;
        while (i < s.size() && iswdigit(s[i]) && i - start < size_t(maxDigits)) v = v * 10 + (s[i++] - L'0');
        return i > start;
    }
    bool Char(wchar_t c)
    {
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    int AmPm()
    {
        Blanks();
        if (i + 1 < s.size() && (s[i + 1] == L'M' || s[i + 1] == L'm')) {
            if (s[i] == L'A' || s[i] == L'a') return i += 2, 1;
            if (s[i] == L'P' || s[i] == L'p') return i += 2, 2;
        }
        return 0;
    }
};

bool ParseTime(Scanner& sc, SYSTEMTIME& t)
{
    int marker = sc.AmPm();
    sc.Blanks();
    int h = 0, m = 0, s = 0, ms = 0;
    if (!sc.Number(h, 2)) return false;
    if (sc.Char(L':')) {
        if (!sc.Number(m, 2)) return false;
        if (sc.Char(L':')) {
            if (!sc.Number(s, 2)) return false;
            if (sc.Char(L'.') && !sc.Number(ms, 3)) return false;
        }
    }
    if (!marker) marker = sc.AmPm();
    if (marker) {
        if (h < 1 || h > 12) return false;
        if (marker == 1 && h == 12) h = 0;
        if (marker == 2 && h != 12) h += 12;
    }
    if (h > 23 || m > 59 || s > 59) return false;
    t.wHour = WORD(h);
    t.wMinute = WORD(m);
    t.wSecond = WORD(s);
    t.wMilliseconds = WORD(ms);
    return true;
}

}  // namespace

std::wstring ResolveIniPath(const std::wstring& fileName)
{
    std::wstring folder = IniFolderPart(fileName);
    if (folder.empty() || folder == L"\\") return L".\\" + fileName;
    return fileName;
}

TIniFile::TIniFile(const std::wstring& fileName, IniAccess access) : m_access(access)
{
    m_fileName = Resolve(fileName);
}

std::wstring TIniFile::Resolve(const std::wstring& fileName) const
{
    const std::wstring resolved = ResolveIniPath(fileName);
    if (m_access == IniAccess::ReadWrite) {
        const std::wstring folder = IniFolderPart(fileName);
        if (!folder.empty() && folder != L"\\") {
            for (int attempt = 0; attempt < 101 && !DirectoryExists(folder); ++attempt) ForceDirectories(folder);
        }
        DWORD a = GetFileAttributesW(resolved.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(resolved.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return resolved;
}

std::wstring TIniFile::ReadString(const std::wstring& section, const std::wstring& key,
                                  const std::wstring& def) const
{
    DWORD size = 2048;
    for (;;) {
        std::vector<wchar_t> buf(size);
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), def.c_str(), buf.data(), size,
                                           m_fileName.c_str());
        // A value that did not fit comes back cut to size - 1 characters,
        // with or without ERROR_MORE_DATA depending on the platform.
        if ((GetLastError() == ERROR_MORE_DATA || n >= size - 1) && size < (1u << 26)) {
            size += size / 2;
            continue;
        }
        return std::wstring(buf.data(), n);
    }
}

void TIniFile::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const
{
    WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), m_fileName.c_str());
}

int32_t TIniFile::ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const
{
    std::wstring text = ReadString(section, key, L"");
    if (text.empty()) return def;
    const bool hex = text.size() >= 3 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    size_t i = 0;
    bool negative = false;
    if (!hex && (digits[0] == L'-' || digits[0] == L'+')) {
        negative = digits[0] == L'-';
        i = 1;
    }
    if (i >= digits.size()) return def;
    int64_t v = 0;
    for (; i < digits.size(); ++i) {
        wchar_t c = digits[i];
        int d;
        if (c >= L'0' && c <= L'9')
            d = c - L'0';
        else if (hex && c >= L'a' && c <= L'f')
            d = c - L'a' + 10;
        else if (hex && c >= L'A' && c <= L'F')
            d = c - L'A' + 10;
        else
            return def;
        v = v * (hex ? 16 : 10) + d;
        if (v > (hex ? 0xFFFFFFFFll : 0x80000000ll)) return def;
    }
    if (negative) v = -v;
    if (!hex && v > 0x7FFFFFFFll) return def;
    return int32_t(uint32_t(v));
}

void TIniFile::WriteInteger(const std::wstring& section, const std::wstring& key, int32_t value) const
{
    WriteString(section, key, std::to_wstring(value));
}

std::wstring FormatIniDateTime(const SYSTEMTIME& t)
{
    return Format(L"%02u/%02u/%04u %02u:%02u:%02u:%03u", t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
}

bool ParseIniDateTime(const std::wstring& text, SYSTEMTIME& out)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    SYSTEMTIME t{};
    Scanner sc{text};
    sc.Blanks();
    int month = 0, day = 0, year = 0;
    bool date = false;
    size_t start = sc.i;
    if (sc.Number(month) && sc.Char(L'/') && sc.Number(day)) {
        size_t beforeYear = sc.i;
        if (sc.Char(L'/')) {
            size_t digitsAt = sc.i;
            if (!sc.Number(year)) return false;
            if (sc.i - digitsAt <= 2) {
                // Two-digit years fall in the hundred years from 50 years back.
                int pivot = now.wYear - 50;
                year += pivot / 100 * 100;
                if (year < pivot) year += 100;
            }
        } else {
            sc.i = beforeYear;
            year = now.wYear;
        }
        date = month >= 1 && month <= 12 && year >= 1 && year <= 9999 && day >= 1 && day <= DaysIn(year, month);
        if (!date) return false;
    } else {
        sc.i = start;
    }
    if (date) {
        t.wYear = WORD(year);
        t.wMonth = WORD(month);
        t.wDay = WORD(day);
        sc.Blanks();
        if (sc.i < text.size() && !ParseTime(sc, t)) return false;
    } else {
        // No date: the whole text must be a time.
        t.wYear = 1899;
        t.wMonth = 12;
        t.wDay = 30;
        if (!ParseTime(sc, t)) return false;
        sc.Blanks();
        if (sc.i != text.size()) return false;
    }
    out = t;
    return true;
}

SYSTEMTIME TIniFile::ReadDateTime(const std::wstring& section, const std::wstring& key, const SYSTEMTIME& def) const
{
    std::wstring text = ReadString(section, key, L"");
    SYSTEMTIME t;
    if (text.empty() || !ParseIniDateTime(text, t)) return def;
    return t;
}

void TIniFile::WriteDateTime(const std::wstring& section, const std::wstring& key, const SYSTEMTIME& value) const
{
    WriteString(section, key, FormatIniDateTime(value));
}

void TIniFile::EraseSection(const std::wstring& section) const
{
    WritePrivateProfileStringW(section.c_str(), nullptr, nullptr, m_fileName.c_str());
}

void TIniFile::UpdateFile()
{
    m_fileName = Resolve(m_fileName);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, m_fileName.c_str());
}

}  // namespace pelmo
