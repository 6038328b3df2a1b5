#include "collectors/uScheduledTasksEnum.h"

#include <algorithm>
#include <memory>

#include "collectors/CommandRunner.h"
#include "platform/Log.h"
#include "platform/Handles.h"
#include "platform/OptionalApi.h"
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
    RunCommand(ToAnsi(CmdCommandLine(L"schtasks.exe", L"/query /FO csv")), raw, timeoutMs);
    TaskNamesFromCsv(raw, names);
}

namespace {

// What is left of the step's budget, as the bound of the next command: the
// command's own bound, or less when the budget ends sooner; 0 once spent.
class StepBudget {
public:
    StepBudget(DWORD commandBoundMs, DWORD budgetMs) : m_bound(commandBoundMs), m_end(TickCount64() + budgetMs) {}
    DWORD Next() const
    {
        const ULONGLONG now = TickCount64();
        return now >= m_end ? 0 : DWORD(std::min<ULONGLONG>(m_bound, m_end - now));
    }

private:
    DWORD m_bound;
    ULONGLONG m_end;
};

}  // namespace

void GetScheduledTasks(LineList& lines, DWORD timeoutMs, DWORD budgetMs)
{
    const StepBudget budget(timeoutMs, budgetMs);
    if (OsMajorAtStart() < 6) {
        RunCommand(ToAnsi(SystemCommandLine(L"schtasks.exe", L"/query /V /FO list")), lines, budget.Next());
        return;
    }
    LineList names;
    CollectTaskNames(names, budget.Next());
    std::unique_ptr<ConsoleCodePage437> codePage;
    if (names.empty()) {
        codePage = std::make_unique<ConsoleCodePage437>();
        if (!codePage->Usable()) return;
        if (DWORD next = budget.Next()) CollectTaskNames(names, next);
    }
    // The code page goes back when the guard ends, also when a command fails.
    for (size_t i = 0; i < names.size(); ++i) {
        const DWORD next = budget.Next();
        if (next == 0) {
            WriteLog(Format(L"EnumTasks budget of %lu ms spent; %u of %u tasks not listed", budgetMs,
                            unsigned(names.size() - i), unsigned(names.size())));
            return;
        }
        RunCommand(ToAnsi(CmdCommandLine(L"schtasks.exe", L"/query /V /TN \"" + names[i] + L"\" /FO list")), lines,
                   next);
    }
}

void EnumTasks(const std::wstring& filePath, DWORD timeoutMs, DWORD budgetMs)
{
    LineList lines;
    GetScheduledTasks(lines, timeoutMs, budgetMs);
    std::string text;
    for (const auto& l : lines) text += ToAnsi(l) + "\r\n";
    UniqueFile f(CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw Error(L"Cannot create file " + filePath);
    if (!WriteAllBytes(f.get(), text.data(), text.size()))
        throw Error(L"Cannot write file " + filePath);
}

}  // namespace pelmo
