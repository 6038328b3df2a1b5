#include "platform/OptionalApi.h"

#include <atomic>
#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

// FindExInfoBasic and FILE_BASIC_INFO, which the headers of the oldest
// supported Windows do not declare.
constexpr int kFindExInfoBasic = 1;
constexpr int kFileBasicInfoClass = 0;
struct BasicInfo {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    DWORD FileAttributes;
};

}  // namespace

ULONGLONG TickCount64()
{
    using Fn = ULONGLONG(WINAPI*)();
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "GetTickCount64");
    if (fn) return fn();
    // Last reading and wrap count packed in one word, so threads agree.
    static std::atomic<ULONGLONG> state{0};
    const DWORD now = GetTickCount();
    ULONGLONG old = state.load();
    for (;;) {
        DWORD last = DWORD(old);
        ULONGLONG wraps = old >> 32;
        if (now < last) ++wraps;
        ULONGLONG next = (wraps << 32) | now;
        if (state.compare_exchange_weak(old, next)) return next;
    }
}

int CompareOrdinalNoCase(const std::wstring& a, const std::wstring& b)
{
    using Fn = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "CompareStringOrdinal");
    if (fn) {
        int r = fn(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE);
        if (r != 0) return r - CSTR_EQUAL;
    }
    std::wstring ua = a, ub = b;
    if (!ua.empty()) CharUpperBuffW(ua.data(), DWORD(ua.size()));
    if (!ub.empty()) CharUpperBuffW(ub.data(), DWORD(ub.size()));
    return ua.compare(ub) < 0 ? -1 : (ua == ub ? 0 : 1);
}

bool QueryBasicFileInfo(HANDLE file, FILETIME& lastWrite, DWORD& attributes)
{
    using Fn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "GetFileInformationByHandleEx");
    if (fn) {
        BasicInfo info{};
        if (fn(file, kFileBasicInfoClass, &info, sizeof(info))) {
            lastWrite.dwLowDateTime = DWORD(info.LastWriteTime.QuadPart);
            lastWrite.dwHighDateTime = DWORD(uint64_t(info.LastWriteTime.QuadPart) >> 32);
            attributes = info.FileAttributes;
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    lastWrite = info.ftLastWriteTime;
    attributes = info.dwFileAttributes;
    return true;
}

HANDLE FindFirstFileNoShortNames(const std::wstring& pattern, WIN32_FIND_DATAW& data)
{
    // Remembered once refused, so later walks go straight to the old class.
    static std::atomic<bool> basicRefused{false};
    if (!basicRefused.load()) {
        HANDLE h = FindFirstFileExW(pattern.c_str(), FINDEX_INFO_LEVELS(kFindExInfoBasic), &data,
                                    FindExSearchNameMatch, nullptr, 0);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER) return h;
        basicRefused.store(true);
    }
    return FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0);
}

bool CancelBlockedIo(HANDLE thread)
{
    using Fn = BOOL(WINAPI*)(HANDLE);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "CancelSynchronousIo");
    return fn && fn(thread);
}

namespace {

PVOID WINAPI AddVectored(ULONG first, PVECTORED_EXCEPTION_HANDLER handler)
{
    using Fn = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "AddVectoredExceptionHandler");
    return fn ? fn(first, handler) : nullptr;
}

}  // namespace

PVOID AddFirstVectoredHandler(PVECTORED_EXCEPTION_HANDLER handler) { return AddVectored(1, handler); }

bool RemoveVectoredHandler(PVOID cookie)
{
    using Fn = ULONG(WINAPI*)(PVOID);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "RemoveVectoredExceptionHandler");
    return fn && cookie && fn(cookie) != 0;
}

__attribute__((noinline)) void CaptureContext(CONTEXT& context)
{
    using Fn = void(WINAPI*)(PCONTEXT);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "RtlCaptureContext");
    context = CONTEXT{};
    if (fn) {
        fn(&context);
        return;
    }
    context.ContextFlags = CONTEXT_CONTROL;
#ifdef _WIN64
    context.Rip = DWORD64(__builtin_return_address(0));
    context.Rsp = DWORD64(__builtin_frame_address(0));
#else
    // Frame pointers are kept: the saved frame pointer is the caller's.
    void* const* frame = static_cast<void* const*>(__builtin_frame_address(0));
    context.Eip = DWORD(__builtin_return_address(0));
    context.Ebp = DWORD(frame[0]);
    context.Esp = DWORD(frame + 2);
#endif
}

HMODULE ModuleOfAddress(const void* address)
{
    MEMORY_BASIC_INFORMATION mbi{};
    if (!VirtualQuery(address, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT || mbi.Type != MEM_IMAGE)
        return nullptr;
    return static_cast<HMODULE>(mbi.AllocationBase);
}

bool RestrictLibrarySearchToSystem()
{
    constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    using DefaultFn = BOOL(WINAPI*)(DWORD);
    using DirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    if (auto dir = ProcAddress<DirectoryFn>(L"kernel32.dll", "SetDllDirectoryW")) dir(L"");
    auto fn = ProcAddress<DefaultFn>(L"kernel32.dll", "SetDefaultDllDirectories");
    return fn && fn(kSearchSystem32);
}

std::wstring SystemFolder()
{
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (;;) {
        UINT n = GetSystemDirectoryW(buf.data(), UINT(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::wstring(buf.data(), n);
        buf.resize(n + 1);
    }
}

std::wstring SystemProgram(const wchar_t* name) { return SystemFolder() + L"\\" + name; }

std::wstring ExplorerProgram()
{
    std::vector<wchar_t> buf(MAX_PATH + 1);
    UINT n = GetWindowsDirectoryW(buf.data(), UINT(buf.size()));
    if (n == 0 || n >= buf.size()) return {};
    return std::wstring(buf.data(), n) + L"\\explorer.exe";
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    const std::wstring folder = SystemFolder();
    if (folder.empty()) return nullptr;
    // The full path, and its own folder for what it imports in turn.
    return LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

namespace {

struct VersionApi {
    using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    SizeFn size = nullptr;
    InfoFn info = nullptr;
    QueryFn query = nullptr;
    VersionApi()
    {
        HMODULE m = LoadSystemLibrary(L"version.dll");
        size = ProcAddress<SizeFn>(m, "GetFileVersionInfoSizeW");
        info = ProcAddress<InfoFn>(m, "GetFileVersionInfoW");
        query = ProcAddress<QueryFn>(m, "VerQueryValueW");
    }
};
const VersionApi& Version()
{
    static const VersionApi api;
    return api;
}

struct WtsApi {
    using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, int, LPWSTR*, DWORD*);
    using FreeFn = void(WINAPI*)(PVOID);
    QueryFn query = nullptr;
    FreeFn free = nullptr;
    WtsApi()
    {
        HMODULE m = LoadSystemLibrary(L"wtsapi32.dll");
        query = ProcAddress<QueryFn>(m, "WTSQuerySessionInformationW");
        free = ProcAddress<FreeFn>(m, "WTSFreeMemory");
    }
};
const WtsApi& Wts()
{
    static const WtsApi api;
    return api;
}

}  // namespace

DWORD VersionInfoSize(const std::wstring& fileName)
{
    DWORD handle = 0;
    return Version().size ? Version().size(fileName.c_str(), &handle) : 0;
}

bool VersionInfo(const std::wstring& fileName, DWORD size, void* block)
{
    return Version().info && Version().info(fileName.c_str(), 0, size, block);
}

bool VersionQuery(const void* block, const std::wstring& subBlock, void*& value, UINT& length)
{
    value = nullptr;
    length = 0;
    return Version().query && Version().query(block, subBlock.c_str(), &value, &length) && value;
}

bool WtsSessionInformation(DWORD session, int infoClass, LPWSTR& buffer, DWORD& bytes)
{
    buffer = nullptr;
    bytes = 0;
    if (!Wts().query || !Wts().free) return false;
    return Wts().query(nullptr /* WTS_CURRENT_SERVER_HANDLE */, session, infoClass, &buffer, &bytes) != FALSE;
}

void WtsFree(void* memory)
{
    if (memory && Wts().free) Wts().free(memory);
}

// The threads and C++ support libraries of the tool chain import four
// functions that Windows 2000 lacks. Its import slots are defined here, pointing at the lookups
// above, so the loader never has to resolve them: the program still loads
// there, and the library sees "absent" where the system has none.
namespace {

ULONGLONG WINAPI TickCount64Slot() { return pelmo::TickCount64(); }
ULONG WINAPI RemoveVectoredSlot(PVOID cookie) { return pelmo::RemoveVectoredHandler(cookie) ? 1 : 0; }
BOOL WINAPI ModuleHandleExSlot(DWORD flags, LPCWSTR name, HMODULE* module)
{
    using Fn = BOOL(WINAPI*)(DWORD, LPCWSTR, HMODULE*);
    static const Fn fn = ProcAddress<Fn>(L"kernel32.dll", "GetModuleHandleExW");
    if (fn) return fn(flags, name, module);
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    constexpr DWORD kFromAddress = 0x4, kUnchangedRefCount = 0x2;
    *module = (flags & kFromAddress) ? pelmo::ModuleOfAddress(name) : GetModuleHandleW(name);
    if (!*module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // A counted (or pinned) handle: one more reference, by the module's own path.
    if (!(flags & kUnchangedRefCount)) LoadLibraryW(pelmo::ModuleFileName(*module).c_str());
    return TRUE;
}

}  // namespace

#ifdef _WIN64
#define PELMO_IMPORT_SLOT(name, decorated) extern "C" void* const name##Slot asm("__imp_" #name)
#else
#define PELMO_IMPORT_SLOT(name, decorated) extern "C" void* const name##Slot asm("__imp__" decorated)
#endif
PELMO_IMPORT_SLOT(GetTickCount64, "GetTickCount64@0");
PELMO_IMPORT_SLOT(AddVectoredExceptionHandler, "AddVectoredExceptionHandler@8");
PELMO_IMPORT_SLOT(RemoveVectoredExceptionHandler, "RemoveVectoredExceptionHandler@4");
PELMO_IMPORT_SLOT(GetModuleHandleExW, "GetModuleHandleExW@12");
__attribute__((used)) void* const GetTickCount64Slot = reinterpret_cast<void*>(&TickCount64Slot);
__attribute__((used)) void* const AddVectoredExceptionHandlerSlot = reinterpret_cast<void*>(&AddVectored);
__attribute__((used)) void* const RemoveVectoredExceptionHandlerSlot = reinterpret_cast<void*>(&RemoveVectoredSlot);
__attribute__((used)) void* const GetModuleHandleExWSlot = reinterpret_cast<void*>(&ModuleHandleExSlot);

}  // namespace pelmo
