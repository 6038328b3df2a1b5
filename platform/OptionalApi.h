// Functions that newer Windows versions add, and libraries that are not
// always taken from the system folder. Each is looked up by name at run time,
// with a stated fallback, so the program loads on Windows 2000 as on 11.
// Nothing here raises; a failure gives 0, false or a null handle.
#pragma once

#include <string>

#include "platform/win.h"

namespace pelmo {

// Milliseconds since start, 64 bits wide: GetTickCount64 (Vista), else
// GetTickCount extended across its 49.7-day wrap-around.
ULONGLONG TickCount64();

// Ordinal comparison with letter case ignored, as CompareStringOrdinal
// (Vista) with its ignore-case flag: <0, 0 or >0. The fallback upper-cases
// each unit through the system's table (CharUpperBuffW) and compares units.
int CompareOrdinalNoCase(const std::wstring& a, const std::wstring& b);

// Last-write time and attributes of an open file: GetFileInformationByHandleEx
// (Vista, asks no volume data), else GetFileInformationByHandle.
bool QueryBasicFileInfo(HANDLE file, FILETIME& lastWrite, DWORD& attributes);

// FindFirstFileExW without short names where the system allows it
// (FindExInfoBasic, Windows 7), else FindExInfoStandard.
HANDLE FindFirstFileNoShortNames(const std::wstring& pattern, WIN32_FIND_DATAW& data);

// Ends a read another thread is blocked in (CancelSynchronousIo, Vista);
// false where the system cannot.
bool CancelBlockedIo(HANDLE thread);

// The vectored exception handler API (XP); null/false where it is absent.
PVOID AddFirstVectoredHandler(PVECTORED_EXCEPTION_HANDLER handler);
bool RemoveVectoredHandler(PVOID cookie);

// The caller's register context (RtlCaptureContext, XP); the fallback fills
// the frame and stack pointers and the return address only.
void CaptureContext(CONTEXT& context);

// The module an address lies in (VirtualQuery: every version), or null.
HMODULE ModuleOfAddress(const void* address);

// Later library loads search the system folder only: SetDefaultDllDirectories
// (Windows 8, 7 and Vista with KB2533623); SetDllDirectoryW("") (XP SP1)
// takes at least the current folder out. True when the first was applied.
bool RestrictLibrarySearchToSystem();

// The system folder without trailing backslash ("C:\Windows\System32").
std::wstring SystemFolder();
// A system program's full path: SystemFolder() + "\" + name.
std::wstring SystemProgram(const wchar_t* name);
// The Windows folder's explorer.exe.
std::wstring ExplorerProgram();

// Loads a library by its full path in the system folder; it stays loaded
// for the life of the process. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);

// version.dll, loaded from the system folder on first use.
DWORD VersionInfoSize(const std::wstring& fileName);
bool VersionInfo(const std::wstring& fileName, DWORD size, void* block);
bool VersionQuery(const void* block, const std::wstring& subBlock, void*& value, UINT& length);

// wtsapi32.dll, loaded from the system folder on first use.
bool WtsSessionInformation(DWORD session, int infoClass, LPWSTR& buffer, DWORD& bytes);
void WtsFree(void* memory);

}  // namespace pelmo
