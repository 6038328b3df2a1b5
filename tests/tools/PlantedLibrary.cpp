// A library planted beside the product as version.dll or wtsapi32.dll: when
// it is loaded it leaves "<its name>.loaded", and when one of its functions
// is called "<its name>.called", in the folder PELMO_MARKER_DIR names. Every
// function fails.
#include <string>

#include "platform/win.h"

namespace {

HMODULE g_self = nullptr;

void Mark(const wchar_t* what)
{
    wchar_t dir[MAX_PATH] = {}, self[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"PELMO_MARKER_DIR", dir, MAX_PATH)) return;
    GetModuleFileNameW(g_self, self, MAX_PATH);
    std::wstring name = self;
    name = name.substr(name.find_last_of(L'\\') + 1);
    HANDLE f = CreateFileW((std::wstring(dir) + L"\\" + name + what).c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
}

}  // namespace

extern "C" {
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD)
{
    Mark(L".called");
    return 0;
}
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID)
{
    Mark(L".called");
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT)
{
    Mark(L".called");
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD, int, LPWSTR*, DWORD*)
{
    Mark(L".called");
    return FALSE;
}
__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID) { Mark(L".called"); }
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = self;
        Mark(L".loaded");
    }
    return TRUE;
}
