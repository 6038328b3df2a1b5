#include "app/CrashReporter.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

const char kMarker[] = "==== Pelmo Helper bug report ====";
std::atomic<bool> g_reporting{false};

// ---- fault guard -------------------------------------------------------

struct GuardFrame {
    intptr_t jmp[5];
    DWORD code;
    GuardFrame* outer;
};

DWORD GuardSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}
GuardFrame* CurrentGuard() { return static_cast<GuardFrame*>(TlsGetValue(GuardSlot())); }
void SetCurrentGuard(GuardFrame* f) { TlsSetValue(GuardSlot(), f); }

bool IsHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
        return true;
    default:
        return false;  // C++ exceptions, breakpoints, stack overflow
    }
}

// Entered in place of the faulting instruction, on a clean part of the same
// stack; jumps back into RunFaultGuarded.
[[noreturn]] __attribute__((noinline)) void ResumeAfterFault(GuardFrame* frame)
{
    __builtin_longjmp(frame->jmp, 1);
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* ep)
{
    const DWORD code = ep->ExceptionRecord->ExceptionCode;
    if (!IsHardwareFault(code)) return EXCEPTION_CONTINUE_SEARCH;
    GuardFrame* frame = CurrentGuard();
    if (!frame) return EXCEPTION_CONTINUE_SEARCH;
    frame->code = code;
    CONTEXT* c = ep->ContextRecord;
#ifdef _WIN64
    DWORD64 sp = (c->Rsp - 512) & ~DWORD64(15);
    c->Rsp = sp - 8;  // as after a call
    c->Rcx = DWORD64(frame);
    c->Rip = DWORD64(reinterpret_cast<void*>(&ResumeAfterFault));
#else
    DWORD sp = (c->Esp - 512) & ~DWORD(15);
    sp -= 4;
    *reinterpret_cast<DWORD*>(sp) = DWORD(frame);  // the argument
    sp -= 4;
    *reinterpret_cast<DWORD*>(sp) = 0;  // no return address
    c->Esp = sp;
    c->Eip = DWORD(reinterpret_cast<void*>(&ResumeAfterFault));
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// ---- report ------------------------------------------------------------

std::string ModuleAndOffset(DWORD_PTR address)
{
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(address), &module) &&
        module) {
        std::string name = ToUtf8(ExtractFileName(ModuleFileName(module)));
        char buf[64];
        snprintf(buf, sizeof buf, "+0x%llx", static_cast<unsigned long long>(address - DWORD_PTR(module)));
        return name + buf;
    }
    return "?";
}

std::string Hex(DWORD_PTR v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%0*llx", int(sizeof(void*) * 2), static_cast<unsigned long long>(v));
    return buf;
}

// Return addresses of the stack described by context, at most max.
std::vector<DWORD_PTR> WalkStack(CONTEXT context, size_t max)
{
    std::vector<DWORD_PTR> frames;
#ifdef _WIN64
    for (size_t i = 0; i < max && context.Rip; ++i) {
        frames.push_back(DWORD_PTR(context.Rip));
        DWORD64 base = 0;
        PRUNTIME_FUNCTION fn = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (!fn) {
            // A leaf function: the return address is on top of the stack.
            if (IsBadReadPtr(reinterpret_cast<void*>(context.Rsp), 8)) break;
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        void* handlerData = nullptr;
        DWORD64 frame = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, fn, &context, &handlerData, &frame, nullptr);
    }
#else
    NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    DWORD_PTR low = DWORD_PTR(tib->StackLimit), high = DWORD_PTR(tib->StackBase);
    frames.push_back(context.Eip);
    DWORD_PTR ebp = context.Ebp;
    while (frames.size() < max && ebp >= low && ebp + 8 <= high && (ebp & 3) == 0) {
        DWORD_PTR ret = reinterpret_cast<DWORD_PTR*>(ebp)[1];
        DWORD_PTR next = reinterpret_cast<DWORD_PTR*>(ebp)[0];
        if (!ret) break;
        frames.push_back(ret);
        if (next <= ebp) break;
        ebp = next;
    }
#endif
    return frames;
}

void ShowDialog()
{
    MessageBoxW(nullptr, L"An error occurred in the application.", L"Pelmo Helper V9",
                MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

[[noreturn]] void ReportAndEnd(const EXCEPTION_RECORD* record, CONTEXT* context, const std::wstring& what)
{
    if (g_reporting.exchange(true)) {
        // A second failure while reporting: end at once.
        TerminateProcess(GetCurrentProcess(), 1);
        for (;;) Sleep(INFINITE);
    }
    try {
        AppendBugReport(ApplicationFolder() + L"bugreport.txt", BuildBugReport(record, context, what));
    } catch (...) {
    }
    ShowDialog();
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* ep)
{
    ReportAndEnd(ep->ExceptionRecord, ep->ContextRecord, L"unhandled exception");
}

void OnTerminate()
{
    std::wstring what = L"std::terminate";
    if (std::exception_ptr p = std::current_exception()) {
        try {
            std::rethrow_exception(p);
        } catch (const std::exception& e) {
            what += L": " + FromUtf8(e.what());
        } catch (...) {
            what += L": unknown exception";
        }
    }
    ReportAndEnd(nullptr, nullptr, what);
}

}  // namespace

bool RunFaultGuarded(const std::function<void()>& fn, DWORD& faultCode)
{
    // The handler is process-wide and installed once, also in the library build.
    static const PVOID handler = AddVectoredExceptionHandler(1, FaultHandler);
    (void)handler;
    GuardFrame frame{};
    frame.outer = CurrentGuard();
    struct Restore {
        GuardFrame* outer;
        ~Restore() { SetCurrentGuard(outer); }
    } restore{frame.outer};
    if (__builtin_setjmp(frame.jmp) == 0) {
        SetCurrentGuard(&frame);
        fn();
        return true;
    }
    faultCode = frame.code;
    return false;
}

std::string BuildBugReport(const EXCEPTION_RECORD* record, CONTEXT* context, const std::wstring& what)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char line[256];
    std::string r = kMarker;
    r += "\r\n";
    snprintf(line, sizeof line, "Time: %04u-%02u-%02u %02u:%02u:%02u.%03u\r\n", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
    r += line;
    r += "Program: " + ToUtf8(ModuleFileName(nullptr)) + "\r\n";
    r += "What: " + ToUtf8(what) + "\r\n";
    if (record) {
        DWORD_PTR at = DWORD_PTR(record->ExceptionAddress);
        snprintf(line, sizeof line, "Exception: 0x%08lX at ", record->ExceptionCode);
        r += line + Hex(at) + " (" + ModuleAndOffset(at) + ")\r\n";
        if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
            snprintf(line, sizeof line, "Access: %s ", record->ExceptionInformation[0] == 0 ? "read of" : "write to");
            r += line + Hex(record->ExceptionInformation[1]) + "\r\n";
        }
    }
    snprintf(line, sizeof line, "Thread: %lu\r\n", GetCurrentThreadId());
    r += line;
    CONTEXT own;
    if (!context) {
        RtlCaptureContext(&own);
        context = &own;
    }
    r += "Stack:\r\n";
    for (DWORD_PTR addr : WalkStack(*context, 24)) r += "  " + Hex(addr) + "  " + ModuleAndOffset(addr) + "\r\n";
    r += "\r\n";
    return r;
}

void AppendBugReport(const std::wstring& path, const std::string& report, size_t limit)
{
    std::string existing;
    {
        UniqueFile in(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (in) {
            LARGE_INTEGER size{};
            GetFileSizeEx(in.get(), &size);
            existing.resize(size_t(std::min<LONGLONG>(size.QuadPart, 16 << 20)));
            DWORD got = 0;
            if (!existing.empty()) ReadFile(in.get(), existing.data(), DWORD(existing.size()), &got, nullptr);
            existing.resize(got);
        }
    }
    std::string add = report.size() > limit ? report.substr(0, limit) : report;
    // Drop the oldest reports, whole, until the new one fits.
    while (!existing.empty() && existing.size() + add.size() > limit) {
        size_t next = existing.find(kMarker, 1);
        existing = next == std::string::npos ? std::string() : existing.substr(next);
    }
    std::string all = existing + add;
    std::wstring side = path + L".new";
    {
        UniqueFile out(CreateFileW(side.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        if (!out) return;
        if (!WriteAllBytes(out.get(), all.data(), all.size())) {
            out.reset();
            DeleteFileW(side.c_str());
            return;
        }
    }
    if (!MoveFileExW(side.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileW(side.c_str());
}

void InstallCrashReporter()
{
    GuardSlot();
    SetUnhandledExceptionFilter(UnhandledFilter);
    std::set_terminate(OnTerminate);
}

void ReportFatal(const std::wstring& what) { ReportAndEnd(nullptr, nullptr, what); }

}  // namespace pelmo
