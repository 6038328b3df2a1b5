// Shell helpers for the autorun tests.
//   ShellLinkTool save LINK TARGET ARGUMENTS   writes a shortcut file
//   ShellLinkTool folder CSIDL                 prints a shell folder (UTF-8)
#include <cstdio>
#include <string>

#include <shlobj.h>
#include <shobjidl.h>

#include "platform/Com.h"
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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"save" && argc == 5) return Save(argv[2], argv[3], argv[4]);
    if (command == L"folder" && argc == 3) return PrintFolder(_wtoi(argv[2]));
    fwprintf(stderr, L"usage: ShellLinkTool save LINK TARGET ARGUMENTS | folder CSIDL\n");
    return 1;
}
