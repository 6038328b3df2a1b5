// Builds what the end-to-end tests need on the Windows side.
//   FixtureTool save LINK TARGET ARGUMENTS   writes a shortcut file
//   FixtureTool folder CSIDL                 prints a shell folder (UTF-8)
//   FixtureTool hold PATH writer|locked READY
//       opens PATH as a log writer (write access, others may read) or with no
//       sharing at all, creates READY, and keeps the file open until
//       READY.release exists (at most 10 minutes)
//   FixtureTool holdwhen PATH READY
//       as "hold PATH locked READY", once PATH exists and its writer has
//       closed it (tried for at most 10 minutes)
//   FixtureTool lockrange PATH READY
//       holds an exclusive byte-range lock on bytes 4096 to 8191 of PATH
//       (LockFileEx), creates READY and keeps it until READY.release exists
//   FixtureTool vanish PATH TRIGGER          deletes PATH as soon as TRIGGER exists
//   FixtureTool adminonly KEY                HKLM\KEY (64-bit view) readable by
//                                            administrators and the system only
#include <cstdio>
#include <string>

#include "platform/win.h"

#include <sddl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "platform/Com.h"
#include "platform/Handles.h"
#include "platform/Text.h"

namespace {

int Save(const wchar_t* link, const wchar_t* target, const wchar_t* arguments)
{
    pelmo::CoScope com;
    pelmo::ComPtr<IShellLinkW> shell;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell.put_void())))
        return 2;
    if (FAILED(shell->SetPath(target)) || FAILED(shell->SetArguments(arguments))) return 3;
    pelmo::ComPtr<IPersistFile> file;
    if (FAILED(shell->QueryInterface(IID_IPersistFile, file.put_void()))) return 4;
    return SUCCEEDED(file->Save(link, TRUE)) ? 0 : 5;
}

int PrintFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return 2;
    std::string utf8 = pelmo::ToUtf8(path);
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    return 0;
}

// Creates READY, then waits until READY.release exists (at most 10 minutes).
int SignalAndWait(const std::wstring& ready)
{
    pelmo::UniqueFile marker(
        CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!marker) return 3;
    marker.reset();
    const std::wstring release = ready + L".release";
    for (int i = 0; i < 6000 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    return 0;
}

int Hold(const std::wstring& path, const std::wstring& mode, const std::wstring& ready)
{
    const bool writer = mode == L"writer";
    pelmo::UniqueFile f(CreateFileW(path.c_str(), writer ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE,
                                    writer ? FILE_SHARE_READ : 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!f) return 2;
    return SignalAndWait(ready);
}

int HoldWhenWritten(const std::wstring& path, const std::wstring& ready)
{
    pelmo::UniqueFile f;
    for (int i = 0; i < 600000 && !f; ++i) {
        f.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f) Sleep(1);
    }
    if (!f) return 2;
    return SignalAndWait(ready);
}

int LockRange(const std::wstring& path, const std::wstring& ready)
{
    pelmo::UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return 2;
    OVERLAPPED at{};
    at.Offset = 4096;
    if (!LockFileEx(f.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 4096, 0, &at)) return 4;
    const int rc = SignalAndWait(ready);
    UnlockFileEx(f.get(), 0, 4096, 0, &at);
    return rc;
}

int Vanish(const std::wstring& path, const std::wstring& trigger)
{
    for (int i = 0; i < 600000; ++i) {
        if (GetFileAttributesW(trigger.c_str()) != INVALID_FILE_ATTRIBUTES) return DeleteFileW(path.c_str()) ? 0 : 2;
        Sleep(1);
    }
    return 3;
}

int AdminOnly(const std::wstring& key)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;KA;;;BA)(A;OICI;KA;;;SY)", SDDL_REVISION_1,
                                                              &sd, nullptr))
        return 2;
    pelmo::UniqueLocal owner(sd);
    pelmo::UniqueHKey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, k.put()) != ERROR_SUCCESS)
        return 3;
    return RegSetKeySecurity(k.get(), DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS ? 0 : 4;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"save" && argc == 5) return Save(argv[2], argv[3], argv[4]);
    if (command == L"folder" && argc == 3) return PrintFolder(_wtoi(argv[2]));
    if (command == L"hold" && argc == 5) return Hold(argv[2], argv[3], argv[4]);
    if (command == L"holdwhen" && argc == 4) return HoldWhenWritten(argv[2], argv[3]);
    if (command == L"lockrange" && argc == 4) return LockRange(argv[2], argv[3]);
    if (command == L"vanish" && argc == 4) return Vanish(argv[2], argv[3]);
    if (command == L"adminonly" && argc == 3) return AdminOnly(argv[2]);
    fwprintf(stderr, L"usage: FixtureTool save|folder|hold|holdwhen|lockrange|vanish|adminonly ...\n");
    return 1;
}
