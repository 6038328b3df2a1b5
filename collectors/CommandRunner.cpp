#include "collectors/CommandRunner.h"

#include <memory>
#include <mutex>
#include <vector>

#include "app/Log.h"
#include "platform/Handles.h"
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

// A started command and everything it starts in turn: the process runs in a
// job of its own, so ending it at a bound also ends the programs it started
// (cmd.exe's "systeminfo", "schtasks"). Where the job cannot be used (an
// older system inside another job) only the process itself is ended.
class ChildProcess {
public:
    // Starts the command line hidden in a new console; false when it cannot
    // be started (GetLastError tells why).
    bool Start(std::wstring commandLine, STARTUPINFOW& si, bool inheritHandles, SECURITY_ATTRIBUTES* sa)
    {
        m_job.reset(CreateJobObjectW(nullptr, nullptr));
        if (m_job) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
            SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        }
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, commandLine.data(), sa, sa, inheritHandles,
                            CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &si,
                            &pi))
            return false;
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
        TerminateProcess(m_process.get(), 1);
        WaitForSingleObject(m_process.get(), 5000);
    }

private:
    UniqueHandle m_job;
    UniqueHandle m_process;
};

}  // namespace

bool RunCommand(const std::string& commandLine, LineList& lines, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &sa, 0)) throw Error(L"Failed to create pipe\uFF01" + GetLastErrorText());
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    // Only the child inherits the write end.
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = HiddenStartup();
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = nullptr;
    ChildProcess child;
    if (!child.Start(FromAnsi(commandLine), si, true, &sa)) throw Error(GetLastErrorText());
    writeEnd.reset();

    // A reader thread takes the bytes until every writer has closed the pipe;
    // this thread waits for it with a bound, and a command that overruns it
    // is ended.
    auto shared = std::make_shared<PipeReader>();
    shared->pipe = readEnd.release();
    auto* ref = new std::shared_ptr<PipeReader>(shared);
    UniqueHandle reader(CreateThread(nullptr, 0, &PipeReader::Main, ref, 0, nullptr));
    if (!reader) {
        delete ref;
        throw Error(GetLastErrorText());
    }
    if (WaitForSingleObject(reader.get(), timeoutMs) == WAIT_TIMEOUT) {
        WriteLog(L"RunCommand timeout: " + FromAnsi(commandLine));
        child.EndAll();
        if (WaitForSingleObject(reader.get(), 5000) == WAIT_TIMEOUT) {
            // Another process still holds the pipe open: stop the read.
            CancelSynchronousIo(reader.get());
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
    if (!child.Start(commandLine, si, false, nullptr)) {
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
    GetTempPathW(260, tmp);
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring file = Format(L"%lsSystemInfo_%04u%02u%02u%02u%02u%02u%03u.txt", tmp, now.wYear, now.wMonth,
                                     now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    // cmd.exe hidden, its output redirected to the temp file; started in a job
    // so that a hanging "systeminfo" is ended with it.
    STARTUPINFOW si = HiddenStartup();
    ChildProcess child;
    if (!child.Start(L"cmd.exe /c systeminfo>\"" + file + L"\"", si, false, nullptr))
        WriteLog(L"Cannot run systeminfo: " + GetLastErrorText());
    // Wait until the command has made and closed its output file, boundedly.
    const ULONGLONG start = GetTickCount64();
    while (child.Process() && FileInUse(file)) {
        if (GetTickCount64() - start > timeoutMs) {
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
    DeleteFileW(file.c_str());
    return lines;
}

void WriteSystemInfoFile(const std::wstring& gatherFolder, DWORD timeoutMs)
{
    SaveLineList(GetSystemInfoLines(timeoutMs), gatherFolder + L"SystemInfo.txt");
}

}  // namespace pelmo
