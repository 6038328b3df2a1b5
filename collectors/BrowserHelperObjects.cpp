#include "collectors/BrowserHelperObjects.h"

#include "platform/RegistryClassEx.h"

namespace pelmo {

namespace {

const wchar_t kObjectsKey[] = L"\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const wchar_t kClassesKey[] = L"\\SOFTWARE\\Classes\\CLSID\\";

// The default value of a key, empty when the key or the value is missing.
std::wstring DefaultValueOf(TRegistry& reg, const std::wstring& path)
{
    if (!reg.OpenPathForReading(path)) return {};
    bool isText = true;
    std::wstring text = ReadTextOrNotation(reg, L"", isText);
    reg.ClosePath();
    return isText ? text : L"=" + text;
}

}  // namespace

void GetBHOItemListFrom(HKEY machineRoot, LineList& list)
{
    LineList block{L"", L"===== BHOs =====", L""};
    // Read access is enough; full access would hide every object from a
    // process that may not change these keys.
    TRegistry reg(KEY_READ);
    reg.SelectRootKey(machineRoot);
    std::vector<std::wstring> ids;
    if (reg.OpenPathForReading(kObjectsKey)) {
        reg.ListSubKeyNames(ids);
        reg.ClosePath();
    }
    for (const auto& id : ids) {
        const std::wstring description = DefaultValueOf(reg, kClassesKey + id);
        const std::wstring file = DefaultValueOf(reg, kClassesKey + id + L"\\InprocServer32");
        block.push_back(description + L", " + file);
    }
    list.push_back(kSeparatorLine);
    list.insert(list.end(), block.begin(), block.end());
}

void GetBHOItemListEx(LineList& list) { GetBHOItemListFrom(HKEY_LOCAL_MACHINE, list); }

}  // namespace pelmo
