#include "collectors/CommandRunner.h"

#include <memory>
#include <mutex>
#include <vector>

#include "platform/Log.h"
#include "platform/Handles.h"
#include "platform/OptionalApi.h"
#include "platform/Session.h"

namespace pelmo {

namespace {

void SplitInto(const std::wstring& text, LineList& lines)
{
    std::wstring line;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(line);
            line.clear();
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
}

// What a command writes, gathered by a thread of its own; shared so that a
// reader left blocked by another process holding the pipe stays valid.
struct PipeReader {
    HANDLE pipe = nullptr;
    std::mutex mu;
    std::string data;
    ~PipeReader()
    {
        if (pipe) CloseHandle(pipe);
    }
    static DWORD WINAPI Main(void* param)
    {
        std::unique_ptr<std::shared_ptr<PipeReader>> self(static_cast<std::shared_ptr<PipeReader>*>(param));
        PipeReader& r = **self;
        std::vector<char> buf(65536);
        DWORD got = 0;
        while (ReadFile(r.pipe, buf.data(), DWORD(buf.size()), &got, nullptr) && got) {
            std::lock_guard<std::mutex> lock(r.mu);
            r.data.append(buf.data(), got);
        }
        return 0;
    }
};

// Start-up information for a command whose console window stays hidden.
STARTUPINFOW HiddenStartup()
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    return si;
}

// The program a command line starts: its first token, which must be a full
// path in the system folder (the tool runs elevated from a folder the user
// can write, where a planted copy would otherwise win).
std::wstring SystemProgramOf(const std::wstring& commandLine)
{
    std::wstring first;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        size_t end = commandLine.find(L'"', 1);
        first = commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    } else {
        first = commandLine.substr(0, commandLine.find(L' '));
    }
    const std::wstring folder = IncludeTrailingBackslash(SystemFolder());
    if (folder.size() < 2 || !SameText(ExtractFilePath(first), folder)) return {};
    return first;
}

// Only the handles meant for a child reach it. Where the system has a
// handle list for CreateProcess (Vista on) it names them; elsewhere they are
// made inheritable only for the moment of the start, under one lock, so no
// command started meanwhile by another thread takes them too.
CriticalSection& StartLock()
{
    static CriticalSection lock;
    return lock;
}

class HandleList {
public:
    explicit HandleList(const std::vector<HANDLE>& handles) : m_handles(handles)
    {
        using InitFn = BOOL(WINAPI*)(void*, DWORD, DWORD, SIZE_T*);
        using UpdateFn = BOOL(WINAPI*)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*);
        static const auto init = ProcAddress<InitFn>(L"kernel32.dll", "InitializeProcThreadAttributeList");
        static const auto update = ProcAddress<UpdateFn>(L"kernel32.dll", "UpdateProcThreadAttribute");
        if (m_handles.empty() || !init || !update) return;
        SIZE_T size = 0;
        init(nullptr, 1, 0, &size);
        m_buffer.resize(size);
        if (!size || !init(m_buffer.data(), 1, 0, &size)) {
            m_buffer.clear();
            return;
        }
        constexpr DWORD_PTR kHandleList = 0x00020002;  // PROC_THREAD_ATTRIBUTE_HANDLE_LIST
        if (!update(m_buffer.data(), 0, kHandleList, m_handles.data(), m_handles.size() * sizeof(HANDLE), nullptr,
                    nullptr)) {
            Delete();
            return;
        }
        m_active = true;
    }
    ~HandleList() { Delete(); }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    void* Attributes() { return m_active ? m_buffer.data() : nullptr; }

private:
    void Delete()
    {
        using DeleteFn = void(WINAPI*)(void*);
        static const auto del = ProcAddress<DeleteFn>(L"kernel32.dll", "DeleteProcThreadAttributeList");
        if (!m_buffer.empty() && del) del(m_buffer.data());
        m_buffer.clear();
        m_active = false;
    }
    std::vector<HANDLE> m_handles;
    std::vector<BYTE> m_buffer;
    bool m_active = false;
};

// A started command and everything it starts in turn: the process runs in a
// job of its own, so ending it at a bound also ends the programs it started
// (cmd.exe's "systeminfo", "schtasks"). Where the job cannot be used (an
// older system inside another job) only the process itself is ended.
class ChildProcess {
public:
    // Starts the command line hidden in a new console, by the full path of
    // its program in the system folder, with the system folder as its
    // current folder; it inherits exactly the handles given. False when it
    // cannot be started (GetLastError tells why).
    bool Start(const std::wstring& commandLine, STARTUPINFOW& si, const std::vector<HANDLE>& inherit = {})
    {
        const std::wstring program = SystemProgramOf(commandLine);
        if (program.empty()) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        const std::wstring folder = SystemFolder();
        m_job.reset(CreateJobObjectW(nullptr, nullptr));
        if (m_job) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
            SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        }
        std::wstring line = commandLine;
        PROCESS_INFORMATION pi{};
        BOOL started = FALSE;
        DWORD error = 0;
        {
            CriticalSection::Guard hold(StartLock());
            HandleList list(inherit);
            struct StartupInfoEx {
                STARTUPINFOW StartupInfo;
                void* lpAttributeList;
            } six{si, list.Attributes()};
            DWORD flags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;
            if (six.lpAttributeList) {
                six.StartupInfo.cb = sizeof(six);
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            }
            for (HANDLE h : inherit) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            // The process and thread handles themselves are never inheritable.
            started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, inherit.empty() ? FALSE : TRUE,
                                     flags, nullptr, folder.c_str(), &six.StartupInfo, &pi);
            error = GetLastError();
            for (HANDLE h : inherit) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }
        if (!started) {
            SetLastError(error);
            return false;
        }
        m_process.reset(pi.hProcess);
        UniqueHandle thread(pi.hThread);
        if (m_job && !AssignProcessToJobObject(m_job.get(), m_process.get())) m_job.reset();
        ResumeThread(thread.get());
        return true;
    }
    HANDLE Process() const { return m_process.get(); }
    // Waits at most timeoutMs; true when the process ended in time.
    bool Wait(DWORD timeoutMs) const { return WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_TIMEOUT; }
    void EndAll()
    {
        if (m_job) TerminateJobObject(m_job.get(), 1);
        if (m_process) {
            TerminateProcess(m_process.get(), 1);
            WaitForSingleObject(m_process.get(), 5000);
        }
    }

private:
    UniqueHandle m_job;
    UniqueHandle m_process;
};

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

}  // namespace

bool RunCommand(const std::string& commandLine, LineList& lines, DWORD timeoutMs)
{
    // Neither end is inheritable; the child alone gets the write end.
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, nullptr, 0)) throw Error(L"Failed to create pipe\uFF01" + GetLastErrorText());
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    STARTUPINFOW si = HiddenStartup();
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = nullptr;
    ChildProcess child;
    if (!child.Start(FromAnsi(commandLine), si, {writeEnd.get()})) throw Error(GetLastErrorText());
    writeEnd.reset();

    // A reader thread takes the bytes until every writer has closed the pipe;
    // this thread waits for it with a bound, and a command that overruns it
    // is ended.
    auto shared = std::make_shared<PipeReader>();
    shared->pipe = readEnd.release();
    auto* ref = new std::shared_ptr<PipeReader>(shared);
    UniqueHandle reader(CreateThread(nullptr, 0, &PipeReader::Main, ref, 0, nullptr));
    if (!reader) {
        // Nobody would read: the command must not be left running.
        const std::wstring error = GetLastErrorText();
        delete ref;
        child.EndAll();
        throw Error(error);
    }
    if (WaitForSingleObject(reader.get(), timeoutMs) == WAIT_TIMEOUT) {
        WriteLog(L"RunCommand timeout: " + FromAnsi(commandLine));
        child.EndAll();
        if (WaitForSingleObject(reader.get(), 5000) == WAIT_TIMEOUT) {
            // Another process still holds the pipe open: stop the read.
            CancelBlockedIo(reader.get());
            WaitForSingleObject(reader.get(), 5000);
        }
    }
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(shared->mu);
        bytes = shared->data;
    }
    std::string line;
    for (char c : bytes) {
        if (c == '\r') {
            lines.push_back(FromAnsi(line));
            line.clear();
        } else if (c != '\n') {
            line.push_back(c);
        }
    }
    // The last line keeps its text even without a line break.
    if (!line.empty()) lines.push_back(FromAnsi(line));
    if (!child.Wait(10000)) child.EndAll();
    return true;
}

bool RunHiddenCommand(const std::wstring& commandLine, DWORD timeoutMs)
{
    STARTUPINFOW si = HiddenStartup();
    ChildProcess child;
    if (!child.Start(commandLine, si)) {
        WriteLog(L"Cannot run " + commandLine + L": " + GetLastErrorText());
        return false;
    }
    if (!child.Wait(timeoutMs)) {
        WriteLog(L"Command timeout, ended: " + commandLine);
        child.EndAll();
        return false;
    }
    return true;
}

std::wstring SystemCommandLine(const wchar_t* program, const std::wstring& arguments)
{
    return Quoted(SystemProgram(program)) + L" " + arguments;
}

std::wstring CmdCommandLine(const wchar_t* program, const std::wstring& arguments)
{
    // cmd.exe strips the first and last quote of what follows /c when that
    // starts with a quote; the whole command is then wrapped once more.
    const std::wstring path = SystemProgram(program);
    const std::wstring inner = path.find(L' ') == std::wstring::npos ? path + L" " + arguments
                                                                    : L"\"" + Quoted(path) + L" " + arguments + L"\"";
    return SystemCommandLine(L"cmd.exe", L"/c " + inner);
}

bool FileInUse(const std::wstring& path)
{
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    return !f;
}

LineList LoadTextLines(const std::string& bytes)
{
    LineList lines;
    std::wstring text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = FromUtf8(bytes.substr(3));
    } else {
        text = FromAnsi(bytes);
    }
    SplitInto(text, lines);
    return lines;
}

LineList GetSystemInfoLines(DWORD timeoutMs)
{
    LineList lines;
    wchar_t tmp[261] = {};
    const DWORD tmpLength = GetTempPathW(260, tmp);
    if (tmpLength == 0 || tmpLength >= 260) throw Error(L"No usable temporary folder for systeminfo");
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring file = Format(L"%lsSystemInfo_%04u%02u%02u%02u%02u%02u%03u.txt", tmp, now.wYear, now.wMonth,
                                     now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    // cmd.exe hidden, its output redirected to the temp file; started in a job
    // so that a hanging "systeminfo" is ended with it.
    // The output file goes on every way out, a failure while reading it too.
    struct RemoveAtEnd {
        const std::wstring& file;
        ~RemoveAtEnd() { DeleteFileW(file.c_str()); }
    } removeAtEnd{file};
    STARTUPINFOW si = HiddenStartup();
    ChildProcess child;
    if (!child.Start(CmdCommandLine(L"systeminfo.exe", L">\"" + file + L"\""), si))
        WriteLog(L"Cannot run systeminfo: " + GetLastErrorText());
    // Wait until the command has made and closed its output file, boundedly.
    const ULONGLONG start = TickCount64();
    while (child.Process() && FileInUse(file)) {
        if (TickCount64() - start > timeoutMs) {
            WriteLog(L"systeminfo timeout");
            child.EndAll();
            break;
        }
        // The command is gone without leaving a file: nothing more will come.
        if (child.Wait(0) && !FileExists(file)) break;
        Sleep(100);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    if (FileExists(file)) {
        UniqueFile f(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        if (!f) throw Error(L"Cannot read " + file);
        std::string bytes;
        char buf[65536];
        DWORD got = 0;
        while (ReadFile(f.get(), buf, sizeof(buf), &got, nullptr) && got) bytes.append(buf, got);
        lines = LoadTextLines(bytes);
    }
    SYSTEMTIME read;
    GetLocalTime(&read);
    lines.insert(lines.begin(), {RegionalDateTimeText(read), L"", L"===== System ====="});
    return lines;
}

void WriteSystemInfoFile(const std::wstring& gatherFolder, DWORD timeoutMs)
{
    SaveLineList(GetSystemInfoLines(timeoutMs), gatherFolder + L"SystemInfo.txt");
}

}  // namespace pelmo
