// A console program with output of known shapes, for the command runner's
// tests:  FakeConsole lines|cr|big|ansi|sleep
//         FakeConsole write HANDLE   writes "inherited" to the handle value
//                                    (hexadecimal) if this process has it
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win.h"

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    // The bytes exactly as written: no text-mode line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
    std::string mode = argv[1];
    if (mode == "lines") {
        fputs("first\r\nsecond\r\n\r\nlast without a break", stdout);
    } else if (mode == "cr") {
        fputs("one\rtwo\r\n", stdout);
        fputs("to stderr\r\n", stderr);
    } else if (mode == "big") {
        for (int i = 0; i < 100000; ++i) printf("line %06d of a long listing of scheduled tasks\r\n", i);
    } else if (mode == "ansi") {
        fputs("caf\xE9\r\n", stdout);  // e acute in the ANSI code page 1252
    } else if (mode == "write" && argc > 2) {
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(argv[2], nullptr, 16)));
        DWORD flags = 0, written = 0;
        if (GetHandleInformation(h, &flags)) WriteFile(h, "inherited", 9, &written, nullptr);
        fputs(GetHandleInformation(h, &flags) ? "has it\r\n" : "has it not\r\n", stdout);
    } else if (mode == "sleep") {
        fputs("before the pause\r\n", stdout);
        fflush(stdout);
        Sleep(600000);
    }
    return 0;
}
