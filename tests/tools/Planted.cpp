// A program planted beside the product under a system program's name
// (cmd.exe, sc.exe, ...): when it runs it leaves "<its name>.ran" in the
// folder PELMO_MARKER_DIR names, and does nothing else.
#include <string>

#include "platform/win.h"

int wmain()
{
    wchar_t dir[MAX_PATH] = {}, self[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"PELMO_MARKER_DIR", dir, MAX_PATH)) return 3;
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name = self;
    name = name.substr(name.find_last_of(L'\\') + 1);
    HANDLE f = CreateFileW((std::wstring(dir) + L"\\" + name + L".ran").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return 0;
}
