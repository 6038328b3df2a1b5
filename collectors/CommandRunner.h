// Console commands run hidden with their output captured: the system
// summary ("SystemInfo.txt") and the runner the task listing uses.
#pragma once

#include <string>

#include "platform/Text.h"

namespace pelmo {

// How long one command may run before it is ended (ms).
constexpr DWORD kCommandTimeoutMs = 5 * 60 * 1000;

// A command line for a program of the system folder: its full path, quoted,
// then the arguments.
std::wstring SystemCommandLine(const wchar_t* program, const std::wstring& arguments);
// The same program run through the system folder's cmd.exe ("cmd.exe /c"),
// named by its full path there too, since cmd.exe searches its current
// folder first.
std::wstring CmdCommandLine(const wchar_t* program, const std::wstring& arguments);

// Every command starts by the full path of its program in the system folder
// (a command line naming any other program is refused), with the system
// folder as its current folder, and inherits only its own output pipe.

// Runs an ANSI command line with a new hidden console and appends every
// output line (CR LF or CR alone ends a line, a lone LF is dropped; a last
// line without a break is kept). A command still running after timeoutMs is ended and
// what it wrote so far is kept; the event is logged. Returns true once the
// command has ended. Raises pelmo::Error when the pipe or the process
// cannot be made.
bool RunCommand(const std::string& commandLine, LineList& lines, DWORD timeoutMs = kCommandTimeoutMs);

// Runs a command line in a new hidden console without capturing its output
// and waits at most timeoutMs; a command still running then is ended and
// the event is logged. The exit code is not used. False when the process
// could not be started or had to be ended.
bool RunHiddenCommand(const std::wstring& commandLine, DWORD timeoutMs);

// True when the file cannot be opened for reading and writing without
// sharing: missing, or still open elsewhere.
bool FileInUse(const std::wstring& path);

// Text file lines: the byte-order mark decides the encoding, else the ANSI
// code page; CR LF, LF or CR end a line.
LineList LoadTextLines(const std::string& bytes);

// The date line, an empty line, "===== System =====", then the output of
// `systeminfo` (waited for at most timeoutMs).
LineList GetSystemInfoLines(DWORD timeoutMs = kCommandTimeoutMs);
void WriteSystemInfoFile(const std::wstring& gatherFolder, DWORD timeoutMs = kCommandTimeoutMs);

}  // namespace pelmo
