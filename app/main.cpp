// The stand-alone program: the main window, its save flow and the worker
// thread that runs one gathering.
#include "platform/win.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "platform/CrashReporter.h"
#include "platform/Log.h"
#include "app/SaveFlow.h"
#include "app/uInfoMain.h"
#include "collectors/CommandRunner.h"
#include "collectors/uScheduledTasksEnum.h"
#include "platform/FileCopy.h"
#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/RegistryClassEx.h"
#include "platform/Session.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

constexpr int kLabelId = 100;
constexpr int kButtonId = 101;
constexpr int kBarId = 102;
const wchar_t kClassName[] = L"TForm_PelmoInfo";
const wchar_t kCaption[] = L"Pelmo Helper V9";

// Process-wide values of the save flow: written by the window before the
// worker starts and by the worker before its final, synchronous message.
std::wstring SaveFile;
std::wstring SaveFolder;
SaveKind g_saveKind = SaveKind::LogOnly;  // what this run offers

struct Form {
    HWND window = nullptr;
    HWND Label1 = nullptr;
    HWND Button_Gen = nullptr;
    HWND PB = nullptr;
    HFONT font = nullptr;
    int barMax = 100;
} g_form;

std::atomic<bool> g_busy{false};     // hourglass for the whole application
std::atomic<bool> g_running{false};  // a run has started; it ends the process

#ifdef PELMO_TEST_HOOKS
// Test build only: switches read from the environment.
std::wstring TestSwitch(const wchar_t* name)
{
    wchar_t buf[512] = {};
    DWORD n = GetEnvironmentVariableW(name, buf, 512);
    return n && n < 512 ? std::wstring(buf, n) : std::wstring();
}

int* volatile g_nowhere = nullptr;

class TestHookSteps : public RealGatherSteps {
public:
    void GetOSInfoEx(LineList& list) override
    {
        const std::wstring crash = TestSwitch(L"PELMO_TEST_CRASH");
        if (crash == L"collector") *g_nowhere = 1;
        if (crash == L"held") {
            // A fault while redirection is off, the console code page is
            // 437 and the log's lock is held: all three must come back.
            Wow64RedirectionOff redirection;
            ConsoleCodePage437 codePage;
            WhileLogLocked([] { *g_nowhere = 4; });
        }
        RealGatherSteps::GetOSInfoEx(list);
    }
    void GetProcessListEx(LineList& list) override
    {
        if (TestSwitch(L"PELMO_TEST_CRASH") == L"held") {
            // A file only the real system folder holds is seen while
            // redirection is off.
            const bool off = FileExists(L"C:\\windows\\system32\\pelmo-redirection-probe.txt");
            WriteLog(IsWow64() ? (off ? L"test: redirection off" : L"test: redirection on")
                               : L"test: redirection n/a");
        }
        RealGatherSteps::GetProcessListEx(list);
    }
    void FindAppPath() override
    {
        // An unguarded row that fails: the run ends before the archive row.
        if (TestSwitch(L"PELMO_TEST_FAIL") == L"before-archive") throw Error(L"test: unguarded row failed");
        RealGatherSteps::FindAppPath();
    }
    // A shorter bound for the commands, so a test of hanging commands ends soon.
    void EnumTasks(const std::wstring& filePath) override { pelmo::EnumTasks(filePath, CommandBound()); }
    void WriteSystemInfoFile(const std::wstring& gatherFolder) override
    {
        pelmo::WriteSystemInfoFile(gatherFolder, CommandBound());
    }

private:
    static DWORD CommandBound()
    {
        std::wstring ms = TestSwitch(L"PELMO_TEST_COMMAND_BOUND_MS");
        return ms.empty() ? kCommandTimeoutMs : DWORD(_wtoi(ms.c_str()));
    }
};
#endif

IGatherSteps& Steps()
{
#ifdef PELMO_TEST_HOOKS
    static TestHookSteps steps;
#else
    static RealGatherSteps steps;
#endif
    return steps;
}

void ProcessMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(int(msg.wParam));
            return;
        }
        if (!IsDialogMessageW(g_form.window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void SetBusy(bool busy)
{
    g_busy = busy;
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void SetBar(int position) { SendMessageW(g_form.PB, PBM_SETPOS, WPARAM(position), 0); }

void OpenExplorerAt(const std::wstring& path)
{
    // By its full path: a planted "Explorer.exe" beside the program never runs.
    const std::wstring explorer = ExplorerProgram();
    if (explorer.empty()) return;
    ShellExecuteW(nullptr, L"open", explorer.c_str(), (L"/select," + path).c_str(), nullptr, SW_SHOW);
}

void Info(const std::wstring& text)
{
    MessageBoxW(g_form.window, text.c_str(), kCaption, MB_OK | MB_ICONINFORMATION);
}

// ---- the worker thread ---------------------------------------------------

class TGenInfoThread {
public:
    // False when the thread cannot be made.
    static bool Start()
    {
#ifdef PELMO_TEST_HOOKS
        if (TestSwitch(L"PELMO_TEST_FAIL") == L"no-thread") {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
#endif
        HANDLE h = CreateThread(nullptr, 0, &TGenInfoThread::ThreadMain, nullptr, 0, nullptr);
        if (!h) return false;
        CloseHandle(h);  // the thread frees itself
        return true;
    }

private:
    static DWORD WINAPI ThreadMain(void*)
    {
        try {
            Execute();
        } catch (const Error& e) {
            ReportFatal(L"exception escaped the worker: " + e.Message());
        } catch (const std::exception& e) {
            ReportFatal(L"exception escaped the worker: " + FromUtf8(e.what()));
        } catch (...) {
            ReportFatal(L"exception escaped the worker");
        }
        return 0;
    }

    static void Execute()
    {
#ifdef PELMO_TEST_HOOKS
        std::wstring crash = TestSwitch(L"PELMO_TEST_CRASH");
        if (crash == L"worker") throw std::runtime_error("test: escaped the worker");
        if (crash == L"seh") {
            volatile int* nowhere = nullptr;
            *nowhere = 2;
        }
#endif
        ClearSaveFile(SaveFile);
        const GatherResult result = GatherReport(g_form.window, 0, Steps());
        const SaveOutcome outcome = SaveReport(result, SaveFile);
        g_saveKind = outcome.kind;
        if (outcome.kind == SaveKind::Saved)
            SaveFile = outcome.path;
        else
            SaveFolder = outcome.path;
        // g_running stays set: the end-of-run flow ends the process, and a
        // close request meanwhile must not take its message box away.
        SendMessageW(g_form.window, WM_GATHER_PROGRESS, 2, 0);
    }
};

// ---- the window's handlers -----------------------------------------------

void WMGatherProgress(UINT msg, WPARAM wParam, LPARAM lParam);

void Button_GenClick()
{
    EnableWindow(g_form.Button_Gen, FALSE);
    SetBusy(true);
    ProcessMessages();
#ifdef PELMO_TEST_HOOKS
    if (TestSwitch(L"PELMO_TEST_CRASH") == L"terminate") std::terminate();
#endif
    SaveFile = GetSpecialFolder(nullptr, CSIDL_DESKTOPDIRECTORY);
    WriteLog(L"GetSpecialFolder:" + SaveFile);
    if (!SaveFile.empty()) {
        std::wstring logUser = GetLoggedOnUserName();
        std::wstring procUser = GetProcessUserName(GetCurrentProcessId());
#ifdef PELMO_TEST_HOOKS
        if (!TestSwitch(L"PELMO_TEST_LOGUSER").empty()) logUser = TestSwitch(L"PELMO_TEST_LOGUSER");
        if (!TestSwitch(L"PELMO_TEST_PROCUSER").empty()) procUser = TestSwitch(L"PELMO_TEST_PROCUSER");
#endif
        SaveFile = RewriteForLoggedOnUser(SaveFile, logUser, procUser);
        WriteLog(L"LogUser:" + logUser + L"        ProcUser:" + procUser);
    }
    const std::wstring appDir = ExtractFileDir(ModuleFileName(nullptr));
    if (SaveFile.empty()) SaveFile = appDir;
    if (!DirectoryExists(SaveFile)) SaveFile = appDir;
    WriteLog(L"Dir:" + SaveFile);
    SaveFile = ExcludeTrailingBackslash(ExpandFileName(SaveFile)) + L"\\Pelmo_Debug_Info.zip";
    WriteLog(L"File:" + SaveFile);
    g_running = true;
    if (!TGenInfoThread::Start()) {
        // No worker: the window says so and goes back to idle.
        WriteLog(L"CreateThread failed: " + GetLastErrorText());
        g_running = false;
        WMGatherProgress(WM_GATHER_PROGRESS, 3, 0);
    }
}

// Fills the bar, hides it and gives the window back to the user.
void FinishBar()
{
    SetBar(g_form.barMax);
    ProcessMessages();
    ShowWindow(g_form.PB, SW_HIDE);
    SetBar(0);
    EnableWindow(g_form.Button_Gen, TRUE);
    SetBusy(false);
    ProcessMessages();
}

[[noreturn]] void EndOfRun()
{
    FinishBar();
    const std::wstring logPath = ApplicationFolder() + L"Pelmo_Debug_Trevio.log";
    // Only what this run made and checked is offered; a file that happens to
    // lie at the save path proves nothing.
    if (g_saveKind == SaveKind::Saved && FileExists(SaveFile)) {
        WriteLog(L"SaveFile exist: " + SaveFile);
        Info(L"The report file: Pelmo_Debug_Info.zip has been saved to:\r" + SaveFile);
        OpenExplorerAt(SaveFile);
        DeleteFileW(logPath.c_str());
    } else {
        WriteLog(L"SaveFile not exist: " + SaveFile);
        if (g_saveKind == SaveKind::Rescued && DirectoryExists(SaveFolder)) {
            WriteLog(L"SaveFolder exist: " + SaveFolder);
            const std::wstring folder = IncludeTrailingBackslash(SaveFolder);
            CopyFileInto(folder, logPath, folder + L"Pelmo_Debug_Trevio.log", Overwrite::Yes);
            Info(L"Please zip the following folder and send the zipped file to us.\r" + SaveFolder);
            OpenExplorerAt(SaveFolder);
        } else {
            WriteLog(L"SaveFolder not exist: " + SaveFolder);
            Info(L"Please send the following log file to us.\r" + logPath);
            OpenExplorerAt(logPath);
        }
    }
    TerminateProcess(GetCurrentProcess(), 0);
    for (;;) Sleep(INFINITE);
}

void WMGatherProgress(UINT msg, WPARAM wParam, LPARAM lParam)
{
    WriteLog(Format(L"msg=%d, wParam=%d, lParam=%d", int(msg), int(wParam), int(lParam)));
    switch (wParam) {
    case 0:
        SetBar(1);
        g_form.barMax = int(lParam);
        SendMessageW(g_form.PB, PBM_SETRANGE32, 0, lParam);
        ShowWindow(g_form.PB, SW_SHOW);
        ProcessMessages();
        break;
    case 1:
        SetBar(int(lParam));
        ProcessMessages();
        break;
    case 2:
        EndOfRun();
    case 3:
        FinishBar();
        MessageBoxW(g_form.window, L"The info file save failed", kCaption, MB_OK | MB_ICONERROR);
        break;
    case 4:
        SetWindowTextW(g_form.Label1, L"In the process of compressing a large file, please wait patiently.");
        break;
    default:
        break;
    }
}

void FormCreate(HWND window)
{
    SetWindowTextW(window, kCaption);
    g_form.font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
    HINSTANCE inst = GetModuleHandleW(nullptr);
    g_form.Label1 = CreateWindowExW(0, L"STATIC",
                                    L"Pelmo Helper collects infomation about your system...\r\n\r\n"
                                    L"Press the button below to generate an info file.",
                                    WS_CHILD | WS_VISIBLE | SS_LEFT, 28, 22, 254, 39, window,
                                    HMENU(INT_PTR(kLabelId)), inst, nullptr);
    g_form.Button_Gen = CreateWindowExW(0, L"BUTTON", L"Save report",
                                        WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 61, 81, 169, 25,
                                        window, HMENU(INT_PTR(kButtonId)), inst, nullptr);
    g_form.PB = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_TABSTOP | PBS_SMOOTH, 31, 122, 253, 17,
                                window, HMENU(INT_PTR(kBarId)), inst, nullptr);
    for (HWND c : {g_form.Label1, g_form.Button_Gen, g_form.PB}) SendMessageW(c, WM_SETFONT, WPARAM(g_form.font), 0);
}

LRESULT CALLBACK WndProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    switch (msg) {
    case WM_CREATE:
        g_form.window = h;
        FormCreate(h);
        return 0;
    case WM_COMMAND:
        if (LOWORD(w) == kButtonId && HIWORD(w) == BN_CLICKED) {
            Button_GenClick();
            return 0;
        }
        break;
    case WM_GATHER_PROGRESS:
        WMGatherProgress(msg, w, l);
        return 0;
    case WM_SETCURSOR:
        if (g_busy) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_CTLCOLORSTATIC:
        SetBkMode(HDC(w), TRANSPARENT);
        return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
    case WM_CLOSE:
        // A run is awaited, never abandoned: it ends the process itself.
        if (g_running) {
            WriteLog(L"FormClose ignored: a report is being made");
            return 0;
        }
        DestroyWindow(h);
        return 0;
    case WM_DESTROY:
        WriteLog(L"FormDestroy");
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(h, msg, w, l);
}

int RunApplication(HINSTANCE inst)
{
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WndProc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = HBRUSH(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    RegisterClassExW(&wc);

    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_CLIPSIBLINGS;
    const DWORD exStyle = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
    RECT rc{0, 0, 305, 147};
    AdjustWindowRectEx(&rc, style, FALSE, exStyle);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    HWND window = CreateWindowExW(exStyle, kClassName, kCaption, style, x, y, w, h, nullptr, nullptr, inst, nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetFocus(g_form.Button_Gen);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (g_form.font) DeleteObject(g_form.font);
    return int(msg.wParam);
}

}  // namespace
}  // namespace pelmo

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, LPWSTR, int)
{
    // First of all: later library loads (COM servers, the shell) search the
    // system folder only, never the program's own, user-writable folder.
    pelmo::RestrictLibrarySearchToSystem();
    pelmo::InstallCrashReporter();
    pelmo::IsWindows2000();  // session module: version flags at start
    pelmo::InitLogging();
    pelmo::SetLogFileName(pelmo::ApplicationFolder() + L"Pelmo_Debug_Trevio.log");
    return pelmo::RunApplication(inst);
}
