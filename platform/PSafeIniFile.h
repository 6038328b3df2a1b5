// INI settings files through the private-profile functions. A bare file name
// means the current folder, never the Windows folder. An object made for
// writing creates the file's missing folder and clears a read-only file's
// attributes; one made for reading changes nothing on disk. Writes never
// report errors. Date-time values use the fixed form
// "mm/dd/yyyy hh:mm:ss:zzz" whatever the regional settings.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win.h"

namespace pelmo {

enum class IniAccess { Read, ReadWrite };

class TIniFile {
public:
    explicit TIniFile(const std::wstring& fileName, IniAccess access = IniAccess::ReadWrite);
    const std::wstring& FileName() const { return m_fileName; }

    std::wstring ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const;
    void WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const;
    int32_t ReadInteger(const std::wstring& section, const std::wstring& key, int32_t def) const;
    void WriteInteger(const std::wstring& section, const std::wstring& key, int32_t value) const;
    SYSTEMTIME ReadDateTime(const std::wstring& section, const std::wstring& key, const SYSTEMTIME& def) const;
    void WriteDateTime(const std::wstring& section, const std::wstring& key, const SYSTEMTIME& value) const;
    void EraseSection(const std::wstring& section) const;
    void UpdateFile();

private:
    std::wstring Resolve(const std::wstring& fileName) const;
    std::wstring m_fileName;
    IniAccess m_access;
};

// The path a TIniFile uses for a given name (".\" in front of a bare name).
std::wstring ResolveIniPath(const std::wstring& fileName);
// "mm/dd/yyyy hh:mm:ss:zzz".
std::wstring FormatIniDateTime(const SYSTEMTIME& t);
// Parses the fixed form (month/day/year, then a time); false when the text
// is no valid date-time. Milliseconds written as ":zzz" are not read back.
bool ParseIniDateTime(const std::wstring& text, SYSTEMTIME& out);

}  // namespace pelmo
