// Test host: loads PelmoHelper.dll the way another product does and runs one
// gathering with this process's command line, recording the progress
// messages its window receives. Writes "archive=<path>" and one
// "progress=<wParam>,<lParam>" line per message, then "elapsed=<ms>" (the
// gathering call alone) and "peak=<bytes>" (the process's peak working set),
// in UTF-8, to the file named by PELMO_HOST_OUT.
#include "platform/win.h"

#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/OptionalApi.h"
#include "platform/Text.h"

namespace {

constexpr UINT kProgress = 1281;
constexpr UINT kDone = WM_APP + 1;
std::vector<std::pair<WPARAM, LPARAM>> g_messages;

using DoGatherInfoFn = int(WINAPI*)(HWND, int, wchar_t*, int);

struct Run {
    DoGatherInfoFn fn;
    HWND window;
    int limit;
    std::wstring archive;
    ULONGLONG elapsedMs = 0;
};

LRESULT CALLBACK WndProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    if (msg == kProgress) {
        g_messages.emplace_back(w, l);
        return 0;
    }
    return DefWindowProcW(h, msg, w, l);
}

DWORD WINAPI Worker(void* p)
{
    auto* run = static_cast<Run*>(p);
    std::vector<wchar_t> buf(32768);
    const ULONGLONG start = pelmo::TickCount64();
    run->fn(run->window, run->limit, buf.data(), int(buf.size()));
    run->elapsedMs = pelmo::TickCount64() - start;
    run->archive = buf.data();
    PostMessageW(run->window, kDone, 0, 0);
    return 0;
}

std::wstring Env(const wchar_t* name)
{
    wchar_t buf[32768];
    DWORD n = GetEnvironmentVariableW(name, buf, 32768);
    return n && n < 32768 ? std::wstring(buf, n) : std::wstring();
}

}  // namespace

int wmain()
{
    std::wstring out = Env(L"PELMO_HOST_OUT");
    std::wstring dll = Env(L"PELMO_DLL");
    if (dll.empty()) dll = pelmo::ApplicationFolder() + L"PelmoHelper.dll";
    HMODULE lib = LoadLibraryW(dll.c_str());
    if (!lib) {
        fwprintf(stderr, L"cannot load %ls\n", dll.c_str());
        return 3;
    }
    auto fn = reinterpret_cast<DoGatherInfoFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DoGatherInfo")));
    if (!fn) {
        fwprintf(stderr, L"no DoGatherInfo export\n");
        return 4;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PelmoTestHost";
    RegisterClassW(&wc);
    HWND window = CreateWindowW(L"PelmoTestHost", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                wc.hInstance, nullptr);
    std::wstring limit = Env(L"PELMO_OTHERINFO_LIMIT");
    Run run{fn, window, limit.empty() ? 0 : _wtoi(limit.c_str()), {}};
    HANDLE worker = CreateThread(nullptr, 0, Worker, &run, 0, nullptr);
    MSG msg;
    bool done = false;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kDone) done = true;
        DispatchMessageW(&msg);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);

    std::string text = "archive=" + pelmo::ToUtf8(run.archive) + "\n";
    for (auto& m : g_messages) text += "progress=" + std::to_string(m.first) + "," + std::to_string(m.second) + "\n";
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    text += "elapsed=" + std::to_string(run.elapsedMs) + "\n";
    text += "peak=" + std::to_string(counters.PeakWorkingSetSize) + "\n";
    if (!out.empty()) {
        FILE* f = _wfopen(out.c_str(), L"wb");
        if (!f) return 5;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    } else {
        fwrite(text.data(), 1, text.size(), stdout);
    }
    return 0;
}
