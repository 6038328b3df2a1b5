// Diagnostic log: UTF-16 text file, one time-stamped ">>|text|<<" line per
// WriteLog call, opened and closed per line, written only when the program
// was started with the LOG switch. Nothing here ever reports a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handles.h"

namespace pelmo {

constexpr int32_t kLogSizeLimit = 5242880;

// One open log file.
class TLogObj {
public:
    // Opens (creating if needed) the log file; an empty name means the module
    // path with extension ".log". A base file locked by another process makes
    // the writer move on to name_1.log, name_2.log, ... Raises Error when the
    // file cannot be created.
    explicit TLogObj(const std::wstring& fileName);
    // Deletes the file again when nothing was ever written to it.
    ~TLogObj();
    TLogObj(const TLogObj&) = delete;
    TLogObj& operator=(const TLogObj&) = delete;

    // Appends one line; raises Error when the write fails.
    void Write(const std::wstring& text, bool detail);
    const std::wstring& FileName() const { return m_fileName; }

    bool timeStamps = true;
    int32_t sizeLimit = kLogSizeLimit;

private:
    CriticalSection m_lock;
    std::wstring m_modulePath;
    std::wstring m_fileName;
    UniqueFile m_stream;
    int32_t m_size = 0;
};

// The process-wide manager: knows the file name and opens a writer per line.
class TLogManage {
public:
    TLogManage() = default;
    void SetFileName(const std::wstring& path);
    std::wstring FileName();
    void Write(const std::wstring& text, bool detail);
    // Runs fn with the lock held, as a line being written holds it.
    void WhileLocked(const std::function<void()>& fn);

private:
    std::unique_ptr<TLogObj> m_writer;
    CriticalSection m_lock;
    bool m_closeAfterEachLine = true;
    std::wstring m_fileName;
    bool m_timeStamps = true;
    int32_t m_sizeLimit = kLogSizeLimit;
};

// Keeps only the last `limit` bytes of a longer file; false on any failure,
// in which case the file is left as it was.
bool TrimLogFile(const std::wstring& path, int32_t limit);

// "yyyy-mm-dd hh:nn:ss.zzz  " with the user's time separator in place of ':'.
std::wstring LogTimeStamp(const SYSTEMTIME& t);

// True when one argument is exactly the LOG switch ("-" or "/", any case).
bool HasLogSwitch(const std::vector<std::wstring>& args);

// Decides once whether logging is on, from the process command line.
void InitLogging();
bool LoggingEnabled();
// Test hook: turns logging on or off regardless of the command line.
void SetLoggingEnabled(bool on);

void SetLogFileName(const std::wstring& path);
void WriteLog(const std::wstring& text);
// Runs fn while the log's lock is held (the test build faults there to show
// that a fault in a step never leaves the lock taken).
void WhileLogLocked(const std::function<void()>& fn);

}  // namespace pelmo
