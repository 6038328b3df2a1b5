// A scratch registry tree below HKEY_CURRENT_USER that stands in for a
// registry root, deleted with its sub-tree afterwards. Keys are made in the
// 64-bit view, where plain paths are read; Wow6432Node in a path names the
// 32-bit keys, as on Windows.
#pragma once

#include <string>

#include "platform/Handles.h"

namespace pelmo::test {

class ScratchKey {
public:
    explicit ScratchKey(const std::wstring& name);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    HKEY Root() const { return m_key.get(); }

    // Creates the key below the root (and the keys on the way).
    void Key(const std::wstring& path) const;
    // Sets a value, creating its key; name nullptr is the default value.
    void Set(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) const;
    void SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) const;
    void SetDword(const std::wstring& path, const wchar_t* name, DWORD value) const;

private:
    std::wstring m_path;
    UniqueHKey m_key;
};

}  // namespace pelmo::test
