// Where the vendor's products are installed.
#pragma once

#include <string>

namespace pelmo {

// The main product's program folder, set once per run.
std::wstring& AppPath();

// Install folder (with trailing backslash) of the product whose uninstall
// entry has this name, or empty. Reads HKLM in the 32-bit view. Raises
// pelmo::Error "Invalid data type for '%s'" for a value that is not text.
std::wstring GetInstallLocation(const std::wstring& entryName);

}  // namespace pelmo
