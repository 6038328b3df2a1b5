// Last line of defence: anything nothing else handles (an unhandled SEH
// exception on any thread, std::terminate, an exception escaping a thread
// body) shows "An error occurred in the application." and appends a bug
// report to "bugreport.txt" beside the program, which never grows beyond
// 100000 bytes. Also the guard that turns a hardware fault inside one
// gathering step into a failure of that step.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/Text.h"
#include "platform/win.h"

namespace pelmo {

constexpr size_t kBugReportLimit = 100000;

// Installs the process-wide handlers; call once at start-up.
void InstallCrashReporter();

// Reports a failure that escaped a thread body (text: what escaped), shows
// the dialog and ends the process.
[[noreturn]] void ReportFatal(const std::wstring& what);

// Appends one report to the file, dropping the oldest whole reports so that
// the file stays within limit bytes. Exposed for tests.
void AppendBugReport(const std::wstring& path, const std::string& report, size_t limit = kBugReportLimit);

// Builds a report for an exception record and context (both may be null:
// the current thread's stack is used).
std::string BuildBugReport(const EXCEPTION_RECORD* record, CONTEXT* context, const std::wstring& what);

// A hardware fault (access violation, division by zero, ...) of this
// program's own code, thrown from the faulting instruction.
class HardwareFault : public Error {
public:
    HardwareFault(DWORD code, void* address);
    DWORD Code() const { return m_code; }
    void* Address() const { return m_address; }

private:
    DWORD m_code;
    void* m_address;
};

// While one lives on a thread, a hardware fault raised by this program's
// code on that thread is thrown as HardwareFault, so the stack unwinds
// normally: destructors run, locks are released, settings restored. Faults
// in other modules (system DLLs that handle their own) are left alone.
class FaultScope {
public:
    FaultScope();
    ~FaultScope();
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// Runs fn inside a FaultScope; a hardware fault ends fn (unwinding it) and
// returns false with the exception code. C++ exceptions pass through.
bool RunFaultGuarded(const std::function<void()>& fn, DWORD& faultCode);

}  // namespace pelmo
