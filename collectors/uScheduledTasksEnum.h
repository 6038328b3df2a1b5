// Scheduled tasks as the `schtasks` command lists them ("task.txt").
#pragma once

#include <string>

#include "collectors/CommandRunner.h"
#include "platform/Text.h"

namespace pelmo {

// Runs the task summary and keeps the names of the root folder's tasks that
// come before the first line that does not fit.
void CollectTaskNames(LineList& names, DWORD timeoutMs = kCommandTimeoutMs);
// Task names from the lines of "schtasks /query /FO csv".
void TaskNamesFromCsv(const LineList& raw, LineList& names);
// How long the whole task listing may take (ms), whatever the number of tasks.
constexpr DWORD kTaskStepBudgetMs = 10 * 60 * 1000;

// Each command has the bound timeoutMs, and all of them together budgetMs:
// once it is spent, the tasks not yet listed are left out and logged.
void GetScheduledTasks(LineList& lines, DWORD timeoutMs = kCommandTimeoutMs, DWORD budgetMs = kTaskStepBudgetMs);
// Writes the task lines to path in the ANSI code page, CR LF after each.
void EnumTasks(const std::wstring& filePath, DWORD timeoutMs = kCommandTimeoutMs,
               DWORD budgetMs = kTaskStepBudgetMs);

// The console code page of cmd.exe set to 437 for the life of the object,
// then put back (or removed when it was not there), on every path.
class ConsoleCodePage437 {
public:
    ConsoleCodePage437();
    ~ConsoleCodePage437();
    ConsoleCodePage437(const ConsoleCodePage437&) = delete;
    ConsoleCodePage437& operator=(const ConsoleCodePage437&) = delete;
    // False when the value exists but cannot be read: nothing was changed.
    bool Usable() const { return m_usable; }

private:
    enum class State { Unchanged, Changed, Created };
    HKEY m_key = nullptr;
    State m_state = State::Unchanged;
    DWORD m_old = 0;
    bool m_usable = false;
};

}  // namespace pelmo
