// Registry access with the right view on 64-bit Windows, and the WOW64
// file-system redirection switch.
//
// TRegistry opens every path in the native 64-bit view, except paths that
// name Wow6432Node, which reach the 32-bit keys; it hides Wow6432Node from
// sub-key listings. Opens report failure with false; reads of values that
// are not of the expected type raise ERegistryException.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

enum ValueKind { vkUnknown = 0, vkString = 1, vkExpandString = 2, vkInteger = 3, vkBinary = 4 };

struct ValueInfo {
    ValueKind kind = vkUnknown;
    int32_t size = 0;
};

struct KeyCounts {
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxDataLen = 0;
    FILETIME lastWrite{};
};

// The read-error text that reports show in place of an unreadable value.
constexpr wchar_t kRegReadError[] = L"pelmoreaderror";

class ERegistryException : public Error {
public:
    using Error::Error;
};

ValueKind KindOfType(DWORD type);
DWORD TypeOfKind(ValueKind kind);
// "hex:01,AB,00" style text of bytes.
std::wstring BytesToHexList(const BYTE* data, size_t size, const std::wstring& prefix);
// A REG_SZ or REG_EXPAND_SZ value of an open key, unexpanded, of any length
// and up to its first NUL; false when it is missing, unreadable or not text.
bool QueryTextValue(HKEY key, const std::wstring& name, std::wstring& text);

class TRegistry {
public:
    TRegistry();
    explicit TRegistry(REGSAM access);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY CurrentKey() const { return m_key.get(); }
    HKEY RootKey() const { return m_root; }
    const std::wstring& CurrentPath() const { return m_path; }
    REGSAM Access() const { return m_access; }
    void SetAccess(REGSAM access) { m_access = access; }

    bool AutoWowView = true;
    bool OnWow64 = false;

    void SelectRootKey(HKEY root);
    bool OpenPath(const std::wstring& path, bool create);
    bool OpenPathForReading(const std::wstring& path);
    void ClosePath();

    bool QueryKeyCounts(KeyCounts& counts) const;
    bool AnySubKeys() const;
    void ListSubKeyNames(std::vector<std::wstring>& names) const;
    void ListValueNames(std::vector<std::wstring>& names) const;

    bool QueryValueInfo(const std::wstring& name, ValueInfo& info) const;
    int32_t ValueDataSize(const std::wstring& name) const;
    ValueKind ValueKindOf(const std::wstring& name) const;
    bool ValuePresent(const std::wstring& name) const;
    // Text of a string value of any length, unexpanded; empty when missing.
    std::wstring ReadText(const std::wstring& name) const;
    uint32_t ReadDword(const std::wstring& name) const;
    int32_t ReadRawBytes(const std::wstring& name, void* buffer, int32_t bufferSize) const;
    // The value in registry-export notation; never raises.
    std::wstring ValueAsRegText(const std::wstring& name) const;

private:
    void SelectWowView(const std::wstring& path);
    // The key a path is resolved against, and the path without its leading
    // backslash; relative tells whether it extends the current path.
    HKEY BaseKey(const std::wstring& path, std::wstring& rest, bool& relative) const;
    void Adopt(HKEY key, const std::wstring& rest, bool relative);

    UniqueHKey m_key;
    HKEY m_root = HKEY_CURRENT_USER;
    std::wstring m_path;
    REGSAM m_access = KEY_ALL_ACCESS;
};

// ReadText of a value; for a value that is not text (which ReadText refuses)
// its registry notation instead, with isText false. Raises nothing.
std::wstring ReadTextOrNotation(const TRegistry& reg, const std::wstring& name, bool& isText);

// Fills the two function slots when the process runs under WOW64.
void LoadWOW64Funcs();
// Turns redirection off; false (and no effect) when the slot is empty.
bool DisableWow64Redirection(void*& previous);
bool RevertWow64Redirection(void* previous);

// Redirection off for the life of the guard, restored on every path.
class Wow64RedirectionOff {
public:
    Wow64RedirectionOff() { m_active = DisableWow64Redirection(m_previous); }
    ~Wow64RedirectionOff()
    {
        if (m_active) RevertWow64Redirection(m_previous);
    }
    Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;
    bool Active() const { return m_active; }

private:
    void* m_previous = nullptr;
    bool m_active = false;
};

}  // namespace pelmo
