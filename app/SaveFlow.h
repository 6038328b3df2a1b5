// Helpers of the save flow: where the report goes, and the rescue copy of the
// gather folder when no archive could be made.
#pragma once

#include <string>

#include "platform/Text.h"

namespace pelmo {

// The report folder for a desktop path: when the process runs under another
// account than the logged-on user, "\<process user>\" becomes "\<logged-on
// user>\" (letter case ignored).
std::wstring RewriteForLoggedOnUser(const std::wstring& desktop, const std::wstring& logUser,
                                    const std::wstring& procUser);

// Appends the full path of every file below folder (trailing backslash),
// breadth first. Linked folders are not entered. A failure ends the walk and
// is logged; list keeps what it has.
void GetFiles(const std::wstring& folder, LineList& list);

// Copies every file below source to the same place below destination.
// Returns true only when every file was copied. Never writes through a
// linked folder or over a linked file.
bool CopyFolder(const std::wstring& destination, const std::wstring& source);

}  // namespace pelmo
