// Small text, path and file helpers shared by every module. None of them
// raises (a failure gives an empty text or false), except SaveLineList,
// which raises pelmo::Error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/win.h"

namespace pelmo {

using LineList = std::vector<std::wstring>;

// The line of 81 asterisks that opens most blocks of the main report.
inline constexpr wchar_t kSeparatorLine[] =
    L"*********************************************************************************";

// printf-style formatting into a UTF-16 text.
std::wstring Format(const wchar_t* fmt, ...);

std::wstring ToUpper(std::wstring_view s);
std::wstring ToLower(std::wstring_view s);
bool SameText(std::wstring_view a, std::wstring_view b);
bool EndsWithText(std::wstring_view s, std::wstring_view suffix);
// Replaces every occurrence of `from` (letter case ignored) by `to`.
std::wstring ReplaceAllText(std::wstring_view s, std::wstring_view from, std::wstring_view to);
// Trims blanks and control characters at both ends.
std::wstring Trim(std::wstring_view s);

std::string ToCodePage(std::wstring_view s, UINT codePage);
std::wstring FromCodePage(std::string_view s, UINT codePage);
inline std::string ToUtf8(std::wstring_view s) { return ToCodePage(s, CP_UTF8); }
inline std::wstring FromUtf8(std::string_view s) { return FromCodePage(s, CP_UTF8); }
inline std::string ToAnsi(std::wstring_view s) { return ToCodePage(s, CP_ACP); }
inline std::wstring FromAnsi(std::string_view s) { return FromCodePage(s, CP_ACP); }

// Writes all bytes to a file handle; false on the first failed write.
bool WriteAllBytes(HANDLE h, const void* data, size_t size);

// Path helpers: folder part up to and including the last '\' or ':'.
std::wstring ExtractFilePath(std::wstring_view path);
std::wstring ExtractFileName(std::wstring_view path);
std::wstring ExtractFileDir(std::wstring_view path);  // without trailing backslash
std::wstring IncludeTrailingBackslash(std::wstring_view path);
std::wstring ExcludeTrailingBackslash(std::wstring_view path);
std::wstring ChangeFileExt(std::wstring_view path, std::wstring_view ext);
std::wstring ExpandFileName(std::wstring_view path);
// The form of a full path that file functions accept beyond MAX_PATH: paths
// of 248 characters or more get the \\?\ (or \\?\UNC\) prefix.
std::wstring LongPath(std::wstring_view path);

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
// A junction or symbolic link (file or folder).
bool IsReparsePoint(const std::wstring& path);
// "name (2).ext", "name (3).ext", ... beside path: the first name nothing
// holds (a folder path keeps its trailing backslash); empty when none of
// 2 to 999 is free.
std::wstring FreeNameBeside(const std::wstring& path);
// Creates a folder with all missing parents; true when it exists afterwards.
bool ForceDirectories(const std::wstring& path);

// Full path of a loaded module (grows the buffer as needed).
std::wstring ModuleFileName(HMODULE module);
// The module (exe or dll) that holds this code.
HMODULE ThisModule();
// Folder of the running program file, with trailing backslash.
std::wstring ApplicationFolder();

// The process command line split into arguments (without the program name).
std::vector<std::wstring> CommandLineArguments();
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// Writes FF FE, then every line followed by CR LF, in UTF-16 LE, replacing
// the file. Raises pelmo::Error when the file cannot be written.
void SaveLineList(const LineList& list, const std::wstring& path);

// The user's short date, a blank and the long time; the time is left out at
// exactly midnight.
std::wstring RegionalDateTimeText(const SYSTEMTIME& t);

}  // namespace pelmo
