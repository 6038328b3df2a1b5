// Where the vendor's products are installed: the naming rules of the main
// product, the install-folder lookups and the search for its program folder.
// Every registry read goes to HKEY_LOCAL_MACHINE in the 32-bit view; a value
// that is not text counts as missing.
#pragma once

#include <string>

namespace pelmo {

// The run state of this module, process-wide; only the worker thread writes it.
struct ProductRunState {
    std::wstring productVersion = L"9";
    std::wstring prevProductVersion = L"8";
    int betaFlag = -1;          // -1: not read yet
    std::wstring productDirName;  // empty: not computed yet
    std::wstring appPath;
};
ProductRunState& ProductRun();

// The main product's program folder, set once per run.
std::wstring& AppPath();

// True when the version text converts to an integer above 8.
bool UsesNewNaming(const std::wstring& version);
std::wstring GetProductDirName();
std::wstring GetProductName();
std::wstring GetUninstallKeyName();
std::wstring GetPrevUninstallKeyName();
std::wstring GetProductKeyName();
std::wstring GetPrevProductKeyName();
std::wstring GetServiceName();
// "MLV" + version + "AppPath".
std::wstring InstallTargetName();

// Install folder (with trailing backslash) of the product whose uninstall
// entry has this name, or empty.
std::wstring GetInstallLocation(const std::wstring& entryName);
// "InstallLocation" alone (with trailing backslash; missing or not text:
// empty). False when the uninstall entry does not exist.
bool ReadEntryInstallLocation(const std::wstring& entryName, std::wstring& location);
std::wstring GetProductInstallDir();
bool IsBetaEdition();
// The service's executable path as the service manager holds it, or empty.
std::wstring GetServiceBinaryPath(const std::wstring& serviceName);

// The text up to and including the last backslash or colon, or empty.
std::wstring FolderPart(const std::wstring& path);

// Sets AppPath. hostExecutable: the host process's program when the code
// runs inside a library, else empty.
void FindAppPathFor(const std::wstring& hostExecutable);
void FindAppPath();

}  // namespace pelmo
