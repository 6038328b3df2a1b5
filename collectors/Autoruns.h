// What Windows starts by itself at logon: the Startup folders, the Run-type
// keys in both registry views, RunOnceEx, the NT "Windows" Run and Load
// values and the Winlogon shell programs, as one block of the main report.
#pragma once

#include <string>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

// Items of comma-separated text with quoting: blanks and control characters
// separate like a comma, a quoted item keeps its blanks (a doubled quote is
// one quote), ",," and a final comma give empty items.
std::vector<std::wstring> SplitListItems(const std::wstring& text);
// The pieces of a RunOnceEx entry between bars; bars never give an empty
// piece, pieces of blanks stay.
std::vector<std::wstring> SplitBarPieces(const std::wstring& text);
// The rundll32 lines of one RunOnceEx entry.
LineList RunOnceExLines(const std::wstring& text);

enum class FirstItemFilter { None, Explorer, Userinit };
// Whether a list's first item is the standard program the filter names:
// its bare file name, or that name in the system or the Windows folder.
bool IsStandardFirstItem(FirstItemFilter filter, const std::wstring& item, const std::wstring& windowsDir,
                         const std::wstring& systemDir);

// Reads shortcut files for the Startup group.
class IShortcutReader {
public:
    virtual ~IShortcutReader() = default;
    // The shortcut's line; raises when no shell link object can be made.
    virtual std::wstring Resolve(const std::wstring& path) const = 0;
};
const IShortcutReader& RealShortcutReader();

// Everything the block reads besides the registry values themselves.
struct AutorunSources {
    bool wow64 = false;
    std::wstring userStartup;    // either may be empty
    std::wstring commonStartup;
    std::wstring windowsDir;     // without trailing backslash
    std::wstring systemDir;
    HKEY currentUser = HKEY_CURRENT_USER;
    HKEY localMachine = HKEY_LOCAL_MACHINE;
    const IShortcutReader* shortcuts = nullptr;
};
AutorunSources RealAutorunSources();

// "\"target\" arguments" of a shortcut file; a file that cannot be loaded
// gives empty parts. Raises when the shell link object cannot be made.
std::wstring ResolveShortcut(const std::wstring& path);

// The block: its title lines, then each group that has lines, under its
// header. A value that is not text shows as name=registry text.
LineList GetAutorunListFrom(const AutorunSources& src);
LineList GetAutorunListx();

}  // namespace pelmo
