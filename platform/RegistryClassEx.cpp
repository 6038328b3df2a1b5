#include "platform/RegistryClassEx.h"

#include <atomic>

#include "platform/Session.h"

namespace pelmo {

namespace {
using DisableFn = BOOL(WINAPI*)(PVOID*);
using RevertFn = BOOL(WINAPI*)(PVOID);
std::atomic<DisableFn> g_disable{nullptr};
std::atomic<RevertFn> g_revert{nullptr};
}  // namespace

void LoadWOW64Funcs()
{
    if (!IsWow64()) return;
    HMODULE k = GetModuleHandleW(L"kernel32.dll");
    if (!k) return;
    g_disable.store(reinterpret_cast<DisableFn>(
        reinterpret_cast<void*>(GetProcAddress(k, "Wow64DisableWow64FsRedirection"))));
    g_revert.store(reinterpret_cast<RevertFn>(
        reinterpret_cast<void*>(GetProcAddress(k, "Wow64RevertWow64FsRedirection"))));
}

bool DisableWow64Redirection(void*& previous)
{
    DisableFn fn = g_disable.load();
    if (!fn) return false;
    return fn(&previous) != FALSE;
}

bool RevertWow64Redirection(void* previous)
{
    RevertFn fn = g_revert.load();
    if (!fn) return false;
    return fn(previous) != FALSE;
}

}  // namespace pelmo
