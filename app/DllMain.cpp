// Library build of the gathering code: a host process of another product
// loads it and calls DoGatherInfo without the window.
#include <cwchar>

#include "platform/CrashReporter.h"
#include "app/uInfoMain.h"

// Runs one gathering; progress messages go to window (may be 0). Copies the
// archive path (NUL-terminated, cut to fit) into archivePath and returns its
// full length in characters. The caller tests whether the archive exists.
extern "C" __declspec(dllexport) int WINAPI DoGatherInfo(HWND window, int otherInfoLimitMiB, wchar_t* archivePath,
                                                         int archivePathChars)
{
    // Nothing escapes into the host: not a C++ exception, not a fault of
    // this code.
    std::wstring path;
    try {
        pelmo::FaultScope faults;
        path = pelmo::DoGatherInfo(window, otherInfoLimitMiB > 0 ? uint32_t(otherInfoLimitMiB) : 0u);
    } catch (...) {
        path.clear();
    }
    if (archivePath && archivePathChars > 0) {
        size_t n = std::min<size_t>(path.size(), size_t(archivePathChars - 1));
        std::wmemcpy(archivePath, path.data(), n);
        archivePath[n] = L'\0';
    }
    return int(path.size());
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
