// The browser helper objects registered for Internet Explorer, each with
// its description and the file that implements it.
#pragma once

#include "platform/Text.h"

namespace pelmo {

// Appends the separator line and the block ("description, file" per
// object, in the registry's order) read below the given machine root.
// A default value that is not text shows as "=" and its registry text.
void GetBHOItemListFrom(HKEY machineRoot, LineList& list);
void GetBHOItemListEx(LineList& list);

}  // namespace pelmo
