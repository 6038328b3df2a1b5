#include "platform/RegistryClassEx.h"

#include <atomic>

#include "platform/Session.h"

namespace pelmo {

namespace {

using DisableFn = BOOL(WINAPI*)(PVOID*);
using RevertFn = BOOL(WINAPI*)(PVOID);
std::atomic<DisableFn> g_disable{nullptr};
std::atomic<RevertFn> g_revert{nullptr};

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

// Reads a value's data whole, growing the buffer from the size the registry
// reports; false when the value does not exist or cannot be read.
bool QueryData(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        data.resize(size + 2);
        DWORD have = size + 2;
        rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &have);
        if (rc == ERROR_SUCCESS) {
            data.resize(have);
            return true;
        }
        if (rc != ERROR_MORE_DATA) return false;
        size = std::max<DWORD>(have, size * 2);
    }
    return false;
}

// String data as text: up to the first NUL, an odd last byte dropped.
std::wstring TextOf(const std::vector<BYTE>& data)
{
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

}  // namespace

bool QueryTextValue(HKEY key, const std::wstring& name, std::wstring& text)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!key || !QueryData(key, name, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    text = TextOf(data);
    return true;
}

ValueKind KindOfType(DWORD type)
{
    switch (type) {
    case REG_SZ: return vkString;
    case REG_EXPAND_SZ: return vkExpandString;
    case REG_DWORD: return vkInteger;
    case REG_BINARY: return vkBinary;
    default: return vkUnknown;
    }
}

DWORD TypeOfKind(ValueKind kind)
{
    switch (kind) {
    case vkString: return REG_SZ;
    case vkExpandString: return REG_EXPAND_SZ;
    case vkInteger: return REG_DWORD;
    case vkBinary: return REG_BINARY;
    default: return REG_NONE;
    }
}

std::wstring BytesToHexList(const BYTE* data, size_t size, const std::wstring& prefix)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring out = prefix;
    out.reserve(prefix.size() + size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i) out.push_back(L',');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

TRegistry::TRegistry() : OnWow64(IsWow64()) {}

TRegistry::TRegistry(REGSAM access) : TRegistry() { m_access = access; }

TRegistry::~TRegistry() = default;

void TRegistry::SelectRootKey(HKEY root)
{
    if (root == m_root) return;
    ClosePath();
    m_root = root;
}

void TRegistry::ClosePath()
{
    m_key.reset();
    m_path.clear();
}

void TRegistry::SelectWowView(const std::wstring& path)
{
    const bool relative = path.empty() || path[0] != L'\\';
    const std::wstring judged = relative ? m_path + L"\\" + path : path;
    if (OnWow64 && AutoWowView) {
        if (ToLower(judged).find(L"wow6432node") != std::wstring::npos)
            m_access &= ~REGSAM(KEY_WOW64_64KEY);
        else
            m_access |= KEY_WOW64_64KEY;
    }
}

HKEY TRegistry::BaseKey(const std::wstring& path, std::wstring& rest, bool& relative) const
{
    relative = path.empty() || path[0] != L'\\';
    rest = relative ? path : path.substr(1);
    return (m_key && relative) ? m_key.get() : m_root;
}

void TRegistry::Adopt(HKEY key, const std::wstring& rest, bool relative)
{
    std::wstring path = (m_key && relative) ? m_path + L"\\" + rest : rest;
    m_key.reset(key);
    m_path = path;
}

bool TRegistry::OpenPath(const std::wstring& path, bool create)
{
    SelectWowView(path);
    std::wstring rest;
    bool relative = false;
    HKEY base = BaseKey(path, rest, relative);
    HKEY key = nullptr;
    LONG rc;
    if (create && !path.empty())
        rc = RegCreateKeyExW(base, rest.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, m_access, nullptr, &key,
                             nullptr);
    else
        rc = RegOpenKeyExW(base, rest.c_str(), 0, m_access, &key);
    if (rc != ERROR_SUCCESS) return false;
    Adopt(key, rest, relative);
    return true;
}

bool TRegistry::OpenPathForReading(const std::wstring& path)
{
    SelectWowView(path);
    std::wstring rest;
    bool relative = false;
    HKEY base = BaseKey(path, rest, relative);
    const REGSAM view = m_access & kViewBits;
    for (REGSAM rights : {REGSAM(KEY_READ), REGSAM(0x20009), REGSAM(KEY_QUERY_VALUE)}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(base, rest.c_str(), 0, rights | view, &key) == ERROR_SUCCESS) {
            m_access = rights | view;
            Adopt(key, rest, relative);
            return true;
        }
    }
    return false;
}

bool TRegistry::QueryKeyCounts(KeyCounts& c) const
{
    if (!m_key) return false;
    return RegQueryInfoKeyW(m_key.get(), nullptr, nullptr, nullptr, &c.subKeys, &c.maxSubKeyLen, nullptr, &c.values,
                            &c.maxValueNameLen, &c.maxDataLen, nullptr, &c.lastWrite) == ERROR_SUCCESS;
}

bool TRegistry::AnySubKeys() const
{
    KeyCounts c;
    return QueryKeyCounts(c) && c.subKeys > 0;
}

void TRegistry::ListSubKeyNames(std::vector<std::wstring>& names) const
{
    names.clear();
    if (!m_key) return;
    // Each call is checked and the walk runs until the registry says there
    // are no more, so a key that changes meanwhile gives real names only.
    std::vector<wchar_t> buf(2049);
    for (DWORD i = 0;; ++i) {
        DWORD len = DWORD(buf.size());
        LONG rc = RegEnumKeyExW(m_key.get(), i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            buf.resize(buf.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS) break;
        std::wstring name(buf.data(), len);
        if (!SameText(Trim(name), L"wow6432node")) names.push_back(name);
    }
}

void TRegistry::ListValueNames(std::vector<std::wstring>& names) const
{
    names.clear();
    if (!m_key) return;
    std::vector<wchar_t> buf(16384);
    for (DWORD i = 0;; ++i) {
        DWORD len = DWORD(buf.size());
        LONG rc = RegEnumValueW(m_key.get(), i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(buf.data(), len);
    }
}

bool TRegistry::QueryValueInfo(const std::wstring& name, ValueInfo& info) const
{
    if (!m_key) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(m_key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    info.kind = KindOfType(type);
    info.size = int32_t(size);
    return true;
}

int32_t TRegistry::ValueDataSize(const std::wstring& name) const
{
    ValueInfo info;
    return QueryValueInfo(name, info) ? info.size : -1;
}

ValueKind TRegistry::ValueKindOf(const std::wstring& name) const
{
    ValueInfo info;
    return QueryValueInfo(name, info) ? info.kind : vkUnknown;
}

bool TRegistry::ValuePresent(const std::wstring& name) const
{
    ValueInfo info;
    return QueryValueInfo(name, info);
}

std::wstring TRegistry::ReadText(const std::wstring& name) const
{
    if (ValueDataSize(name) <= 0) return {};
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryData(m_key.get(), name, type, data)) {
        // Gone or unreadable meanwhile: still a string value raises nothing.
        return {};
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryException(Format(L"Invalid data type for '%ls'", name.c_str()));
    return TextOf(data);
}

uint32_t TRegistry::ReadDword(const std::wstring& name) const
{
    if (!m_key) return 0;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(m_key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return 0;
    if (type != REG_DWORD || size != 4) return 0;
    DWORD value = 0;
    size = 4;
    if (RegQueryValueExW(m_key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        return 0;
    return value;
}

int32_t TRegistry::ReadRawBytes(const std::wstring& name, void* buffer, int32_t bufferSize) const
{
    ValueInfo info;
    if (!QueryValueInfo(name, info)) return 0;
    if ((info.kind != vkBinary && info.kind != vkUnknown) || bufferSize < info.size)
        throw ERegistryException(Format(L"Invalid data type for '%ls'", name.c_str()));
    DWORD type = 0, size = DWORD(bufferSize);
    if (RegQueryValueExW(m_key.get(), name.c_str(), nullptr, &type, static_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        throw ERegistryException(Format(L"Failed to get data for '%ls'", name.c_str()));
    return int32_t(size);
}

std::wstring TRegistry::ValueAsRegText(const std::wstring& name) const
{
    ValueInfo info;
    if (!QueryValueInfo(name, info) || info.size <= 0) return {};
    try {
        switch (info.kind) {
        case vkString:
        case vkExpandString:
            return ReadText(name);
        case vkInteger:
            return Format(L"dword:%08X", unsigned(ReadDword(name)));
        default: {
            std::vector<BYTE> data(size_t(info.size));
            int32_t n = ReadRawBytes(name, data.data(), info.size);
            return BytesToHexList(data.data(), size_t(std::max(n, 0)), L"hex:");
        }
        }
    } catch (...) {
        return kRegReadError;
    }
}

std::wstring ReadTextOrNotation(const TRegistry& reg, const std::wstring& name, bool& isText)
{
    isText = true;
    try {
        return reg.ReadText(name);
    } catch (const ERegistryException&) {
        isText = false;
        return reg.ValueAsRegText(name);
    }
}

void LoadWOW64Funcs()
{
    if (!IsWow64()) return;
    HMODULE k = GetModuleHandleW(L"kernel32.dll");
    if (!k) return;
    g_disable.store(ProcAddress<DisableFn>(k, "Wow64DisableWow64FsRedirection"));
    g_revert.store(ProcAddress<RevertFn>(k, "Wow64RevertWow64FsRedirection"));
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
