// A Windows service that does nothing but run until it is stopped, for the
// firewall service tests (Wine has no firewall service of its own).
//   FakeService install NAME   registers it stopped, started on demand
//   FakeService status NAME    prints "start=<type> state=<state>"
//   FakeService remove NAME    stops and deletes it
//   FakeService run NAME       the service itself (started by the manager)
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Handles.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
std::wstring g_name;

void Report(DWORD state)
{
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &s);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    g_status = RegisterServiceCtrlHandlerExW(g_name.c_str(), Control, nullptr);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, 30 * 60 * 1000);
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) return 2;
    std::wstring mode = argv[1];
    g_name = argv[2];
    if (mode == L"run") {
        SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    pelmo::UniqueSc manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 3;
    if (mode == L"install") {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" run " + g_name;
        pelmo::UniqueSc s(CreateServiceW(manager.get(), g_name.c_str(), g_name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                         cmd.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        return s ? 0 : 4;
    }
    pelmo::UniqueSc s(OpenServiceW(manager.get(), g_name.c_str(), SERVICE_ALL_ACCESS));
    if (!s) return 5;
    if (mode == L"status") {
        SERVICE_STATUS st{};
        QueryServiceStatus(s.get(), &st);
        std::vector<BYTE> buf(8192);
        DWORD needed = 0;
        auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
        if (!QueryServiceConfigW(s.get(), cfg, DWORD(buf.size()), &needed)) return 6;
        printf("start=%lu state=%lu\n", cfg->dwStartType, st.dwCurrentState);
        return 0;
    }
    if (mode == L"remove") {
        SERVICE_STATUS st{};
        ControlService(s.get(), SERVICE_CONTROL_STOP, &st);
        for (int i = 0; i < 50 && QueryServiceStatus(s.get(), &st) && st.dwCurrentState != SERVICE_STOPPED; ++i)
            Sleep(100);
        return DeleteService(s.get()) ? 0 : 7;
    }
    return 2;
}
