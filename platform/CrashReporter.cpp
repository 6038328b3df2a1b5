#include "platform/CrashReporter.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

const char kMarker[] = "==== Pelmo Helper bug report ====";
std::atomic<bool> g_reporting{false};

// ---- fault guard -------------------------------------------------------
//
// A hardware fault raised by this program's own code on a thread inside a
// FaultScope is turned into a C++ exception thrown from the faulting
// instruction: the handler makes the thread continue in a small entry that
// "calls" ThrowFault as if the faulting instruction had done so. The code is
// built with -fnon-call-exceptions, so the unwinder knows every instruction
// that may trap, and every destructor between the fault and the catch runs.

DWORD ScopeSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}
DWORD CodeSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}
uintptr_t ScopeDepth() { return reinterpret_cast<uintptr_t>(TlsGetValue(ScopeSlot())); }
void SetScopeDepth(uintptr_t d) { TlsSetValue(ScopeSlot(), reinterpret_cast<void*>(d)); }

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

}  // namespace

// Thrown in place of the faulting instruction; the code and address were
// kept by the handler for this thread.
extern "C" [[noreturn]] __attribute__((noinline, used)) void PelmoThrowFault()
{
    auto* record = static_cast<EXCEPTION_RECORD*>(TlsGetValue(CodeSlot()));
    const DWORD code = record ? record->ExceptionCode : 0;
    void* const address = record ? record->ExceptionAddress : nullptr;
    delete record;
    TlsSetValue(CodeSlot(), nullptr);
    throw HardwareFault(code, address);
}

// The entry the handler resumes the thread in, with the return address it
// should see (faulting instruction + 1, so the unwinder looks up exactly the
// faulting instruction) in the accumulator; it pushes it and goes on as a
// call would. On x64 a frame with its own unwind data realigns the stack.
extern "C" void PelmoFaultEntry();
#ifdef _WIN64
asm(R"(
    .text
    .globl PelmoFaultEntry
    .def PelmoFaultEntry; .scl 2; .type 32; .endef
PelmoFaultEntry:
    pushq %rax
    .def PelmoFaultFrame; .scl 3; .type 32; .endef
    .seh_proc PelmoFaultFrame
PelmoFaultFrame:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call PelmoThrowFault
    int3
    .seh_endproc
)");
#else
asm(R"(
    .text
    .globl _PelmoFaultEntry
    .def _PelmoFaultEntry; .scl 2; .type 32; .endef
_PelmoFaultEntry:
    pushl %eax
    jmp _PelmoThrowFault
)");
#endif

namespace {

// Sends the thread into PelmoFaultEntry when the fault is this program's to
// recover: a hardware fault, in this image, on a thread inside a FaultScope,
// with a usable stack. Everything else goes on to the system's handlers.
bool DivertFault(EXCEPTION_POINTERS* ep)
{
    const EXCEPTION_RECORD* r = ep->ExceptionRecord;
    if (!IsHardwareFault(r->ExceptionCode) || ScopeDepth() == 0) return false;
    if (ModuleOfAddress(r->ExceptionAddress) != ThisModule()) return false;
    if (r->ExceptionAddress == reinterpret_cast<void*>(&PelmoFaultEntry)) return false;  // the stack is gone
    if (TlsGetValue(CodeSlot())) return false;  // a fault while the last one is thrown
    CONTEXT* c = ep->ContextRecord;
    NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
#ifdef _WIN64
    const DWORD_PTR sp = DWORD_PTR(c->Rsp);
#else
    const DWORD_PTR sp = DWORD_PTR(c->Esp);
#endif
    if (sp <= DWORD_PTR(tib->StackLimit) + 256 || sp > DWORD_PTR(tib->StackBase)) return false;
    auto* kept = new (std::nothrow) EXCEPTION_RECORD(*r);
    if (!kept) return false;
    TlsSetValue(CodeSlot(), kept);
#ifdef _WIN64
    c->Rax = c->Rip + 1;
    c->Rip = DWORD64(reinterpret_cast<void*>(&PelmoFaultEntry));
#else
    c->Eax = c->Eip + 1;
    c->Eip = DWORD(reinterpret_cast<void*>(&PelmoFaultEntry));
#endif
    return true;
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* ep)
{
    return DivertFault(ep) ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

// The vectored handler, where the system has one (XP on); on Windows 2000
// the unhandled-exception filter diverts instead.
void InstallFaultHandler()
{
    static const PVOID handler = AddFirstVectoredHandler(FaultHandler);
    (void)handler;
}

// ---- report ------------------------------------------------------------

std::string ModuleAndOffset(DWORD_PTR address)
{
    if (HMODULE module = ModuleOfAddress(reinterpret_cast<const void*>(address))) {
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
    if (DivertFault(ep)) return EXCEPTION_CONTINUE_EXECUTION;
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

HardwareFault::HardwareFault(DWORD code, void* address)
    : Error(Format(L"Exception 0x%08lX at %ls", code, FromUtf8(ModuleAndOffset(DWORD_PTR(address))).c_str())), m_code(code),
      m_address(address)
{
}

FaultScope::FaultScope()
{
    InstallFaultHandler();
    SetScopeDepth(ScopeDepth() + 1);
}

FaultScope::~FaultScope() { SetScopeDepth(ScopeDepth() - 1); }

bool RunFaultGuarded(const std::function<void()>& fn, DWORD& faultCode)
{
    FaultScope scope;
    try {
        fn();
        return true;
    } catch (const HardwareFault& fault) {
        faultCode = fault.Code();
        return false;
    }
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
        CaptureContext(own);
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
    ScopeSlot();
    CodeSlot();
    InstallFaultHandler();
    SetUnhandledExceptionFilter(UnhandledFilter);
    std::set_terminate(OnTerminate);
}

void ReportFatal(const std::wstring& what) { ReportAndEnd(nullptr, nullptr, what); }

}  // namespace pelmo
