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

// Runs fn; a hardware fault (access violation, division by zero, ...) on
// this thread while fn runs ends fn and returns false with the exception
// code. C++ exceptions pass through unchanged.
bool RunFaultGuarded(const std::function<void()>& fn, DWORD& faultCode);

}  // namespace pelmo
