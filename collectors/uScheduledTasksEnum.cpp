#include "collectors/uScheduledTasksEnum.h"

#include <memory>

#include "collectors/CommandRunner.h"
#include "platform/Handles.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

const wchar_t kConsoleKey[] = L"Console\\%SystemRoot%_system32_cmd.exe";

}  // namespace

ConsoleCodePage437::ConsoleCodePage437()
{
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kConsoleKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &m_key, nullptr) != ERROR_SUCCESS) {
        m_key = nullptr;
        return;
    }
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(m_key, L"CodePage", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        DWORD value = 0;
        size = sizeof(value);
        if (type != REG_DWORD ||
            RegQueryValueExW(m_key, L"CodePage", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS)
            return;  // unreadable: leave everything as it is
        m_old = value;
        if (value != 437) {
            const DWORD cp = 437;
            RegSetValueExW(m_key, L"CodePage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&cp), 4);
            m_state = State::Changed;
        }
    } else {
        const DWORD cp = 437;
        RegSetValueExW(m_key, L"CodePage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&cp), 4);
        m_state = State::Created;
    }
    m_usable = true;
}

ConsoleCodePage437::~ConsoleCodePage437()
{
    if (!m_key) return;
    if (m_state == State::Changed)
        RegSetValueExW(m_key, L"CodePage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_old), 4);
    else if (m_state == State::Created)
        RegDeleteValueW(m_key, L"CodePage");
    RegCloseKey(m_key);
}

void TaskNamesFromCsv(const LineList& raw, LineList& names)
{
    for (size_t i = 1; i < raw.size(); ++i) {
        const std::wstring& line = raw[i];
        if (line.find(L'\\') == std::wstring::npos) break;
        std::wstring rest = line.size() > 2 ? line.substr(2) : L"";
        size_t quote = rest.find(L'"');
        if (quote == std::wstring::npos) break;
        std::wstring name = rest.substr(0, quote);
        if (name.find(L'\\') != std::wstring::npos) break;
        bool known = false;
        for (const auto& n : names) known = known || SameText(n, name);
        if (!known) names.push_back(name);
    }
}

void CollectTaskNames(LineList& names, DWORD timeoutMs)
{
    LineList raw;
    RunCommand("cmd.exe /c schtasks /query /FO csv", raw, timeoutMs);
    TaskNamesFromCsv(raw, names);
}

void GetScheduledTasks(LineList& lines, DWORD timeoutMs)
{
    if (OsMajorAtStart() < 6) {
        RunCommand("schtasks /query /V /FO list", lines, timeoutMs);
        return;
    }
    LineList names;
    CollectTaskNames(names, timeoutMs);
    std::unique_ptr<ConsoleCodePage437> codePage;
    if (names.empty()) {
        codePage = std::make_unique<ConsoleCodePage437>();
        if (!codePage->Usable()) return;
        CollectTaskNames(names, timeoutMs);
    }
    // The code page goes back when the guard ends, also when a command fails.
    for (const auto& name : names)
        RunCommand(ToAnsi(L"cmd.exe /c schtasks /query /V /TN \"" + name + L"\" /FO list"), lines, timeoutMs);
}

void EnumTasks(const std::wstring& filePath, DWORD timeoutMs)
{
    LineList lines;
    GetScheduledTasks(lines, timeoutMs);
    std::string text;
    for (const auto& l : lines) text += ToAnsi(l) + "\r\n";
    UniqueFile f(CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw Error(L"Cannot create file " + filePath);
    if (!WriteAllBytes(f.get(), text.data(), text.size()))
        throw Error(L"Cannot write file " + filePath);
}

}  // namespace pelmo
