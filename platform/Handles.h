// Move-only owners for Win32 resources. Closing keeps the thread's last-error
// code, so releasing a handle never hides the error being reported.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/win.h"

#include <winsvc.h>

namespace pelmo {

// T is a handle or pointer type; InvalidValue is its "no resource" value.
template <typename T, auto Close, intptr_t InvalidValue = 0>
class Unique {
public:
    static T Invalid() { return reinterpret_cast<T>(InvalidValue); }
    Unique() = default;
    explicit Unique(T v) : m_v(v) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& o) noexcept : m_v(o.release()) {}
    Unique& operator=(Unique&& o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~Unique() { reset(); }

    T get() const { return m_v; }
    T* put()
    {
        reset();
        return &m_v;
    }
    T release() { return std::exchange(m_v, Invalid()); }
    void reset(T v = Invalid())
    {
        DWORD e = GetLastError();
        if (m_v != Invalid()) Close(m_v);
        m_v = v;
        SetLastError(e);
    }
    explicit operator bool() const { return m_v != Invalid(); }

private:
    T m_v = Invalid();
};

namespace detail {
inline void CloseKey(HKEY k) { RegCloseKey(k); }
inline void FreeLib(HMODULE m) { FreeLibrary(m); }
inline void FreeLocal(void* p) { LocalFree(p); }
inline void CloseFind(HANDLE h) { FindClose(h); }
inline void CloseH(HANDLE h) { CloseHandle(h); }
inline void CloseSc(SC_HANDLE h) { CloseServiceHandle(h); }
}  // namespace detail

using UniqueHandle = Unique<HANDLE, detail::CloseH>;
using UniqueFile = Unique<HANDLE, detail::CloseH, -1>;
using UniqueFind = Unique<HANDLE, detail::CloseFind, -1>;
using UniqueHKey = Unique<HKEY, detail::CloseKey>;
using UniqueLibrary = Unique<HMODULE, detail::FreeLib>;
using UniqueLocal = Unique<void*, detail::FreeLocal>;
using UniqueSc = Unique<SC_HANDLE, detail::CloseSc>;

// A function that older systems may lack, looked up by name; null when absent.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
template <typename Fn>
Fn ProcAddress(const wchar_t* module, const char* name)
{
    return ProcAddress<Fn>(GetModuleHandleW(module), name);
}

// A critical section that lives as long as its owner; Guard holds it for a scope.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&m_cs); }
    void Leave() { LeaveCriticalSection(&m_cs); }

    class Guard {
    public:
        explicit Guard(CriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
        ~Guard() { m_cs.Leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CriticalSection& m_cs;
    };

private:
    CRITICAL_SECTION m_cs;
};

}  // namespace pelmo
