// Stand-in for the console commands "systeminfo" and "schtasks", installed
// into the test prefix's system folder (Wine's own print nothing). Built
// twice under those names; what it prints comes from the files of one
// scenario folder:
//   PELMO_FAKE_ROOT      folder of the scenario folders (default: built in)
//   PELMO_FAKE_SCENARIO  scenario folder name (default "default")
//   PELMO_FAKE_LOG       file to which each call appends its command line
//                        and the console code page value it saw
//   PELMO_FAKE_PIDFILE   file that receives this process's id
// Scenario files: systeminfo.out, schtasks-csv.out, schtasks-task.out (with
// {NAME} for the task name), schtasks-list.out; "<command>.big" holding a
// line count makes that many extra lines; "<command>.hang" makes the
// command wait after its output; "needs437" gives the task summary only
// while the console code page is 437 (schtasks-csv-other.out otherwise).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win.h"

namespace {

std::string Env(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

bool ReadFileBytes(const std::string& path, std::string& out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    fclose(f);
    return true;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The console code page value for command windows of cmd.exe, or -1.
long ConsoleCodePage()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Console\\%SystemRoot%_system32_cmd.exe", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return -1;
    DWORD value = 0, size = sizeof(value), type = 0;
    LONG rc = RegQueryValueExA(key, "CodePage", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? long(value) : -1;
}

std::string Replace(std::string s, const std::string& from, const std::string& to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

void Emit(const std::string& bytes) { fwrite(bytes.data(), 1, bytes.size(), stdout); }

void Extra(const std::string& dir, const std::string& command)
{
    std::string count;
    if (!ReadFileBytes(dir + command + ".big", count)) return;
    long n = atol(count.c_str());
    for (long i = 0; i < n; ++i)
        printf("%-16s %08ld: padding that makes the output several megabytes long\r\n", command.c_str(), i);
}

}  // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));

    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string name = self;
    name = name.substr(name.find_last_of("\\/") + 1);
    for (auto& c : name) c = char(tolower(static_cast<unsigned char>(c)));
    const std::string command = name.substr(0, name.find('.'));

    std::string root = Env("PELMO_FAKE_ROOT");
    if (root.empty()) root = PELMO_FAKE_ROOT_DEFAULT;
    if (root.back() != '\\' && root.back() != '/') root += '/';
    std::string scenario = Env("PELMO_FAKE_SCENARIO");
    if (scenario.empty()) scenario = "default";
    const std::string dir = root + scenario + "/";

    std::string pidFile = Env("PELMO_FAKE_PIDFILE");
    if (!pidFile.empty()) {
        if (FILE* f = fopen(pidFile.c_str(), "wb")) {
            fprintf(f, "%lu", GetCurrentProcessId());
            fclose(f);
        }
    }
    std::string logFile = Env("PELMO_FAKE_LOG");
    if (!logFile.empty()) {
        if (FILE* f = fopen(logFile.c_str(), "ab")) {
            fprintf(f, "%s codepage=%ld\r\n", GetCommandLineA(), ConsoleCodePage());
            fclose(f);
        }
    }

    std::string args;
    std::string taskName;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "/TN" || a == "/tn") && i + 1 < argc) taskName = argv[++i];
        for (auto& c : a) c = char(tolower(static_cast<unsigned char>(c)));
        args += a + " ";
    }

    std::string out;
    int rc = 0;
    if (command == "systeminfo") {
        ReadFileBytes(dir + "systeminfo.out", out);
        Emit(out);
        Extra(dir, command);
    } else if (args.find("/query") != std::string::npos && args.find("csv") != std::string::npos) {
        bool plain = !Exists(dir + "needs437") || ConsoleCodePage() == 437;
        ReadFileBytes(dir + (plain ? "schtasks-csv.out" : "schtasks-csv-other.out"), out);
        Emit(out);
    } else if (!taskName.empty()) {
        if (ReadFileBytes(dir + "schtasks-task.out", out)) {
            Emit(Replace(out, "{NAME}", taskName));
            Extra(dir, command);
        } else {
            fputs("ERROR: The system cannot find the file specified.\r\n", stderr);
            rc = 1;
        }
    } else if (args.find("/query") != std::string::npos) {
        ReadFileBytes(dir + "schtasks-list.out", out);
        Emit(out);
    } else {
        fputs("ERROR: Invalid argument/option.\r\n", stderr);
        rc = 1;
    }
    fflush(stdout);
    if (Exists(dir + command + ".hang")) Sleep(10 * 60 * 1000);
    return rc;
}
