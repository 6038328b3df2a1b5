// Registry branches as registry-export text: the installed-programs keys
// ("uninstall.txt") and the TCP/IP interface keys ("dnsGetinfo.txt").
#pragma once

#include <string>

#include "platform/RegistryClassEx.h"

namespace pelmo {

// Appends the key at path (from the selected root) and its whole sub-tree,
// depth first: an empty line, "[root\path]", then one line per value.
// Keys are opened for reading only; one that cannot be opened is left out
// with its sub-tree.
void ExportKeyTree(TRegistry& reg, LineList& list, const std::wstring& path, const std::wstring& rootName);
// One value as an export line: "name"="text" for strings (backslashes
// doubled), "name"=dword:... / hex:... for the rest.
std::wstring ExportValueLine(const TRegistry& reg, const std::wstring& name);

void DoClllectEx(LineList& list);
void DoClllectDNS(LineList& list);

}  // namespace pelmo
