// Process and resource report: a table of every process with its resource
// use and its CPU load over one second, then virtual memory, page file,
// system drive and desktop heap lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

// One row of the table: what the two samples of a process gave.
struct ProcessRecord {
    std::wstring name;
    std::wstring folder;
    DWORD pid = 0;
    DWORD session = 0;
    int32_t priority = -1;
    int32_t gdi = 0;
    int32_t user = 0;
    DWORD handles = 0;
    DWORD threads = 0;
    DWORD mem = 0;   // MB
    DWORD vmem = 0;  // MB
    uint64_t runtime = 0;  // ms since creation
    std::wstring cpuText;
    int64_t io = -1;
};

std::wstring PriorityClassText(int32_t priority);
// "999 ms", "1,50 s", "59:59 min", "1:02 h"; sep is the decimal separator.
std::wstring RuntimeText(uint64_t ms, wchar_t sep);
// "1023 Bytes", "1,00 KB", "465,76 GB".
std::wstring SizeText(int64_t bytes, wchar_t sep);
// "," + percent + "%" of the CPU time used between the samples, or empty
// when the process used none (half rounds to even).
std::wstring CpuText(uint64_t cpu0Ms, uint64_t cpu1Ms, uint32_t elapsedMs);

struct VirtualMemoryFigures {
    uint64_t availVirtual = 0, totalVirtual = 0, availPageFile = 0, totalPageFile = 0;
    int64_t driveFree = 0, driveTotal = 0;
};
std::wstring VirtualMemoryText(const VirtualMemoryFigures& f, wchar_t sep);

// The whole report text for these records and trailer values.
std::wstring FormatProcessReport(const std::vector<ProcessRecord>& records, const std::wstring& virtualMemory,
                                 const std::wstring& desktopHeap, wchar_t sep);

// An image path as the report shows it: "\SystemRoot\System32\" becomes the
// system folder, a leading "\??\" goes.
std::wstring NormaliseImagePath(const std::wstring& path, const std::wstring& systemDir);

// Run time in ms from creation and now (100 ns units), whole and 64-bit.
uint64_t RuntimeMs(uint64_t creation, uint64_t now);

std::wstring GetVirtualMemoryInfo(wchar_t sep);
std::wstring GetDesktopHeapInfo();
// The decimal separator of the thread locale, read once (',' on failure).
wchar_t ThreadDecimalSeparator();

// Samples every process twice, one second apart, and formats the report.
std::wstring BuildProcessReport();
// Appends the separator row and the report text as one entry.
void GetProcessListEx(LineList& list);

}  // namespace pelmo
