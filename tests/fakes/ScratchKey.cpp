#include "tests/fakes/ScratchKey.h"

#include <stdexcept>

#include "platform/Text.h"

namespace pelmo::test {

namespace {

// Both views of the tree: Wine keeps keys that a 32-bit process makes below
// a "Software" key of their own apart from the 64-bit ones.
void DeleteTree(const std::wstring& path)
{
    for (REGSAM view : {REGSAM(KEY_WOW64_64KEY), REGSAM(KEY_WOW64_32KEY)}) {
        UniqueHKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(key.get(), nullptr);
        key.reset();
        RegDeleteKeyExW(HKEY_CURRENT_USER, path.c_str(), view, 0);
    }
}

}  // namespace

ScratchKey::ScratchKey(const std::wstring& name)
    : m_path(Format(L"Software\\PelmoTest\\%lu-%ls", GetCurrentProcessId(), name.c_str()))
{
    DeleteTree(m_path);
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        m_key.put(),
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create a scratch key");
}

ScratchKey::~ScratchKey()
{
    m_key.reset();
    DeleteTree(m_path);
}

void ScratchKey::Key(const std::wstring& path) const
{
    UniqueHKey key;
    if (RegCreateKeyExW(m_key.get(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + ToUtf8(path));
}

void ScratchKey::Set(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) const
{
    UniqueHKey key;
    if (RegCreateKeyExW(m_key.get(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS ||
        RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a value below " + ToUtf8(path));
}

void ScratchKey::SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text, DWORD type) const
{
    Set(path, name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
}

void ScratchKey::SetDword(const std::wstring& path, const wchar_t* name, DWORD value) const
{
    Set(path, name, REG_DWORD, &value, sizeof(value));
}

}  // namespace pelmo::test
