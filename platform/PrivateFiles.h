// Folders and files that only the elevated run may touch: their security
// descriptor grants access to Administrators and SYSTEM alone, is protected
// (nothing is inherited from the user-writable folder around them) and is
// inherited by everything made inside. Nothing here raises.
#pragma once

#include <string>

#include "platform/win.h"

namespace pelmo {

// Attributes with that descriptor, built once; null when the system cannot
// build it (the object then gets the default descriptor).
SECURITY_ATTRIBUTES* PrivateSecurity();

// Gives an open file or folder (opened with WRITE_DAC) that descriptor.
bool MakePrivate(HANDLE object);

// Creates the folder anew (its parent must exist). False when anything is
// already at that path or the folder cannot be made: nothing that this call
// did not create is ever taken for its result.
bool CreatePrivateFolder(const std::wstring& path);

// Hands a finished folder or file to the user: its own entries go and it
// inherits from its parent again, as if it had been made there plainly.
bool ShareWithParent(const std::wstring& path);

// A descriptor's access list in SDDL form, or empty.
std::wstring DaclTextOf(PSECURITY_DESCRIPTOR sd);
// The descriptor of a file or folder in SDDL form (owner and group left
// out), or empty. For checks.
std::wstring DaclText(const std::wstring& path);

}  // namespace pelmo
