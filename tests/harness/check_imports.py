"""Reads the import tables of the products and fails on what an elevated
program run from a user-writable folder must not import statically, or what
the oldest Windows it runs on (2000) lacks.

    check_imports.py OBJDUMP FILE...
"""
import re
import subprocess
import sys

# DLLs the loader always takes from the system folder (KnownDLLs on every
# Windows from 2000 on), plus comctl32, which the side-by-side manifest binds.
ALLOWED_DLLS = {
    "advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
    "shell32.dll", "user32.dll",
}

# Functions Windows 2000 lacks, with the version that brought each. A static
# import of one of them stops the program from loading there.
NEWER_FUNCTIONS = {
    # Windows XP
    "AddVectoredExceptionHandler": "XP", "RemoveVectoredExceptionHandler": "XP",
    "AddVectoredContinueHandler": "Vista", "RtlCaptureContext": "XP", "RtlCaptureStackBackTrace": "XP",
    "GetModuleHandleExW": "XP", "GetModuleHandleExA": "XP", "IsWow64Process": "XP SP2",
    "GetNativeSystemInfo": "XP", "Wow64DisableWow64FsRedirection": "XP x64",
    "Wow64RevertWow64FsRedirection": "XP x64", "GetSystemTimes": "XP SP1", "SetDllDirectoryW": "XP SP1",
    "GetProcessHandleCount": "XP SP1", "GetProcessId": "XP SP1", "GetThreadId": "Vista",
    "AttachConsole": "XP", "GetLogicalProcessorInformation": "XP SP3", "WTSGetActiveConsoleSessionId": "XP",
    "CheckRemoteDebuggerPresent": "XP SP1", "InterlockedPushEntrySList": "XP",
    "InitializeSListHead": "XP", "InterlockedFlushSList": "XP", "InterlockedPopEntrySList": "XP",
    "GetSystemWow64DirectoryW": "XP", "RegDeleteKeyExW": "XP x64", "RegGetValueW": "Vista",
    "RegDeleteTreeW": "Vista", "RegOpenKeyTransactedW": "Vista", "SetThreadStackGuarantee": "XP x64",
    "ConvertFiberToThread": "XP", "CreateFiberEx": "XP",
    # Windows Vista
    "GetTickCount64": "Vista", "CancelSynchronousIo": "Vista", "CancelIoEx": "Vista",
    "CompareStringOrdinal": "Vista", "CompareStringEx": "Vista", "GetFileInformationByHandleEx": "Vista",
    "SetFileInformationByHandle": "Vista", "QueryFullProcessImageNameW": "Vista",
    "InitializeProcThreadAttributeList": "Vista", "UpdateProcThreadAttribute": "Vista",
    "DeleteProcThreadAttributeList": "Vista", "CreateSymbolicLinkW": "Vista", "GetFinalPathNameByHandleW": "Vista",
    "InitializeSRWLock": "Vista", "AcquireSRWLockExclusive": "Vista", "ReleaseSRWLockExclusive": "Vista",
    "AcquireSRWLockShared": "Vista", "ReleaseSRWLockShared": "Vista", "InitializeConditionVariable": "Vista",
    "SleepConditionVariableCS": "Vista", "SleepConditionVariableSRW": "Vista", "WakeConditionVariable": "Vista",
    "WakeAllConditionVariable": "Vista", "InitOnceExecuteOnce": "Vista", "InitOnceBeginInitialize": "Vista",
    "InitOnceComplete": "Vista", "FlsAlloc": "Vista", "FlsFree": "Vista", "FlsGetValue": "Vista",
    "FlsSetValue": "Vista", "GetLocaleInfoEx": "Vista", "LCMapStringEx": "Vista", "GetUserDefaultLocaleName": "Vista",
    "CreateEventExW": "Vista", "CreateMutexExW": "Vista", "CreateSemaphoreExW": "Vista",
    "InitializeCriticalSectionEx": "Vista", "GetErrorMode": "Vista", "GetDynamicTimeZoneInformation": "Vista",
    "Wow64GetThreadContext": "7", "RegisterApplicationRestart": "Vista", "GetProductInfo": "Vista",
    "QueryThreadCycleTime": "Vista", "CreateThreadpoolWork": "Vista", "SetFileCompletionNotificationModes": "Vista",
    "GetQueuedCompletionStatusEx": "Vista", "GetCurrentProcessorNumber": "Vista",
    # Windows 7 and later
    "SetDefaultDllDirectories": "8 (7 with KB2533623)", "AddDllDirectory": "8 (7 with KB2533623)",
    "TryAcquireSRWLockExclusive": "7", "GetSystemTimePreciseAsFileTime": "8", "QueryUnbiasedInterruptTime": "7",
    "SetThreadDescription": "10 1607", "GetThreadDescription": "10 1607", "WaitOnAddress": "8",
    "WakeByAddressSingle": "8", "WakeByAddressAll": "8", "GetCurrentProcessorNumberEx": "7",
    "K32GetProcessMemoryInfo": "7", "K32GetModuleFileNameExW": "7", "K32GetProcessImageFileNameW": "7",
    "K32EnumProcesses": "7", "IsWow64Process2": "10 1511",
    "GetSystemWow64Directory2W": "10 1511", "CreateFile2": "8", "CopyFile2": "8",
}


def imports(objdump, path):
    """{dll: [functions]} from objdump -p."""
    text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    found = {}
    dll = None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            found.setdefault(dll, [])
            continue
        if dll is None:
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if m:
            found[dll].append(m.group(1))
        elif not line.strip() or line.startswith("The "):
            dll = None if not line.strip() and found.get(dll) else dll
    return found


def is_64_bit(objdump, path):
    header = subprocess.run([objdump, "-f", path], capture_output=True, text=True, check=True).stdout
    return "x86-64" in header


def main():
    objdump = sys.argv[1]
    status = 0
    for path in sys.argv[2:]:
        table = imports(objdump, path)
        # 64-bit Windows begins with XP x64, which has every XP function: a
        # 64-bit build (the test fallback) is held to that instead.
        floor_64 = is_64_bit(objdump, path)
        if not table:
            print("%s: no imports found" % path)
            status = 1
            continue
        for dll in sorted(table):
            if dll not in ALLOWED_DLLS:
                print("%s imports %s, which a planted copy beside it could replace" % (path, dll))
                status = 1
            for fn in table[dll]:
                if fn in NEWER_FUNCTIONS and not (floor_64 and NEWER_FUNCTIONS[fn].startswith("XP")):
                    print("%s imports %s!%s, which Windows %s lacks (since Windows %s)"
                          % (path, dll, fn, "XP x64" if floor_64 else "2000", NEWER_FUNCTIONS[fn]))
                    status = 1
        print("%s: %s" % (path, " ".join("%s(%d)" % (d, len(f)) for d, f in sorted(table.items()))))
    return status


if __name__ == "__main__":
    sys.exit(main())
