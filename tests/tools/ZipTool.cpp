// Packs a folder with the report's archive writer:
//   ZipTool <root folder> <archive> [threads] [chunk KiB]
//   ZipTool --md5 <file>   (digest on stdout, peak working set on stderr)
// Prints the number of files packed; exit code 1 on failure.
#include <cstdio>
#include <string>

#include "platform/Text.h"

#include <psapi.h>
#include "products/FileManifest.h"
#include "zip/ZipWriter.h"

int wmain(int argc, wchar_t** argv)
{
    // ZipTool --md5 <file>: the manifest's digest of one file.
    if (argc == 3 && std::wstring(argv[1]) == L"--md5") {
        wprintf(L"%ls\n", pelmo::GetFileMD5(argv[2]).c_str());
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof(pmc);
        if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc)))
            fwprintf(stderr, L"peak working set %llu bytes\n", (unsigned long long)pmc.PeakWorkingSetSize);
        return 0;
    }
    if (argc < 3) {
        fwprintf(stderr, L"usage: ZipTool <root> <archive> [threads] [chunkKiB]\n");
        return 2;
    }
    pelmo::zip::WriterOptions options;
    if (argc > 3) options.threads = unsigned(_wtoi(argv[3]));
    if (argc > 4) options.chunkBytes = size_t(_wtoi(argv[4])) * 1024;
    try {
        pelmo::zip::ZipWriter writer(argv[2], options);
        int count = writer.AddFolder(pelmo::IncludeTrailingBackslash(argv[1]));
        writer.Finish();
        printf("%d\n", count);
        return 0;
    } catch (const pelmo::Error& e) {
        fprintf(stderr, "ZipTool: %s\n", e.what());
        return 1;
    }
}
