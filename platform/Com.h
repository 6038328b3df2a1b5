// Small owners for COM: interface pointers, BSTRs, VARIANTs and the
// per-thread initialisation.
#pragma once

#include "platform/win.h"

#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace pelmo {

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept
    {
        if (this != &o) {
            reset();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }
    void reset()
    {
        if (m_p) std::exchange(m_p, nullptr)->Release();
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-parameters: releases what is held first.
    T** put()
    {
        reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

private:
    T* m_p = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const std::wstring& s) : m_b(SysAllocStringLen(s.data(), UINT(s.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_b); }
    BSTR get() const { return m_b; }

private:
    BSTR m_b = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&m_v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&m_v); }
    VARIANT* operator&() { return &m_v; }
    const VARIANT& get() const { return m_v; }
    VARIANT* put()
    {
        VariantClear(&m_v);
        return &m_v;
    }

private:
    VARIANT m_v;
};

// CoInitialize for the life of the object; CoUninitialize only when the
// call counted (S_OK or S_FALSE).
class CoScope {
public:
    CoScope() : m_ok(SUCCEEDED(CoInitialize(nullptr))) {}
    CoScope(const CoScope&) = delete;
    CoScope& operator=(const CoScope&) = delete;
    ~CoScope()
    {
        if (m_ok) CoUninitialize();
    }

private:
    bool m_ok;
};

// OleInitialize for the life of the object; OleUninitialize only when the
// call counted. On a thread already in the multi-threaded apartment the
// call fails and COM stays usable as it is.
class OleScope {
public:
    OleScope() : m_ok(SUCCEEDED(OleInitialize(nullptr))) {}
    OleScope(const OleScope&) = delete;
    OleScope& operator=(const OleScope&) = delete;
    ~OleScope()
    {
        if (m_ok) OleUninitialize();
    }

private:
    bool m_ok;
};

}  // namespace pelmo
