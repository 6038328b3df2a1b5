// The gathering driver: runs every collector in a fixed order, each in its
// own guard, writes the report files into the gather folder and packs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace pelmo {

constexpr UINT WM_GATHER_PROGRESS = 1281;
constexpr int kAnnouncedSteps = 20;

// Bound on the wait for the system summary side task (row 26).
constexpr DWORD kSideTaskWaitMs = 10 * 60 * 1000;

// Product scopes.
enum : int {
    kScopeAll = 0,
    kScopeMain = 1,
    kScopeAntiMalware = 2,
    kScopeRemoval = 3,
    kScopeDefrag = 4,
};

// The work of every row, so that the sequence, its guards and its log lines
// can be exercised with collectors that fail on purpose.
class IGatherSteps {
public:
    virtual ~IGatherSteps() = default;
    virtual int ProductScope() = 0;
    virtual std::wstring TempFolder() = 0;
    virtual std::wstring ModuleFileVersion() = 0;
    virtual void GetOSInfoEx(LineList& list) = 0;
    virtual void GetProcessListEx(LineList& list) = 0;
    virtual void EnumServices(LineList& list) = 0;
    virtual void GetBHOItemListEx(LineList& list) = 0;
    virtual LineList GetAutorunListx() = 0;
    virtual void GetWSCInfo(LineList& list) = 0;
    virtual void FindAppPath() = 0;  // sets AppPath()
    virtual void GetAppFileInfo(LineList& list) = 0;
    virtual void DoClllectEx(LineList& list) = 0;
    virtual void DoClllectDNS(LineList& list) = 0;
    // Appends one product section (rows 1 to 4 of the product table).
    virtual void AddFilesInfoSection(LineList& list, int productRow) = 0;
    virtual void LoadLog(const std::wstring& gatherFolder) = 0;
    virtual void LoadOtherInfo(const std::wstring& gatherFolder, uint32_t limitMiB) = 0;
    virtual void LoadOnlyForTrevioTool(const std::wstring& gatherFolder) = 0;
    virtual void EnumTasks(const std::wstring& filePath) = 0;
    virtual void GenMLVLogFiles(const std::wstring& gatherFolder) = 0;
    virtual std::wstring GetInstallLocation(const std::wstring& entryName) = 0;
    virtual void GenNeedFileByBDError(const std::wstring& source, const std::wstring& destination,
                                      const std::wstring& gatherFolder) = 0;
    virtual void GenGDXLogFiles(const std::wstring& gatherFolder) = 0;
    virtual void WriteSystemInfoFile(const std::wstring& gatherFolder) = 0;
    virtual int ZipGatherFolder(const std::wstring& gatherFolder, const std::wstring& archivePath) = 0;
};

// The real collectors of the system.
class RealGatherSteps : public IGatherSteps {
public:
    int ProductScope() override;
    std::wstring TempFolder() override;
    std::wstring ModuleFileVersion() override;
    void GetOSInfoEx(LineList& list) override;
    void GetProcessListEx(LineList& list) override;
    void EnumServices(LineList& list) override;
    void GetBHOItemListEx(LineList& list) override;
    LineList GetAutorunListx() override;
    void GetWSCInfo(LineList& list) override;
    void FindAppPath() override;
    void GetAppFileInfo(LineList& list) override;
    void DoClllectEx(LineList& list) override;
    void DoClllectDNS(LineList& list) override;
    void AddFilesInfoSection(LineList& list, int productRow) override;
    void LoadLog(const std::wstring& gatherFolder) override;
    void LoadOtherInfo(const std::wstring& gatherFolder, uint32_t limitMiB) override;
    void LoadOnlyForTrevioTool(const std::wstring& gatherFolder) override;
    void EnumTasks(const std::wstring& filePath) override;
    void GenMLVLogFiles(const std::wstring& gatherFolder) override;
    std::wstring GetInstallLocation(const std::wstring& entryName) override;
    void GenNeedFileByBDError(const std::wstring& source, const std::wstring& destination,
                              const std::wstring& gatherFolder) override;
    void GenGDXLogFiles(const std::wstring& gatherFolder) override;
    void WriteSystemInfoFile(const std::wstring& gatherFolder) override;
    int ZipGatherFolder(const std::wstring& gatherFolder, const std::wstring& archivePath) override;
};

// What one gathering made. archiveMade is true only when this run wrote the
// archive at archivePath and its read-back check passed: a file found at
// that path proves nothing (an older one may be held there by another
// process).
struct GatherResult {
    std::wstring archivePath;
    bool archiveMade = false;
};
GatherResult GatherReport(HWND window, uint32_t otherInfoLimitMiB, IGatherSteps& steps);
// The real collectors, one instance for the life of the process.
IGatherSteps& RealSteps();

// Runs one gathering. Progress goes to window (may be 0); otherInfoLimitMiB
// is passed to LoadOtherInfo (0: no limit). Returns the archive path, set
// even when no archive was made. Never raises.
std::wstring DoGatherInfo(HWND window, uint32_t otherInfoLimitMiB);
std::wstring DoGatherInfo(HWND window, uint32_t otherInfoLimitMiB, IGatherSteps& steps);

// The scope rules, from the module file name, the command-line arguments and
// whether the Ultimate edition is installed.
int ProductFromArguments(const std::vector<std::wstring>& args, bool ultimateInstalled);
int ScopeFromProduct(int product);
int ProductScopeFor(const std::wstring& moduleFileName, const std::vector<std::wstring>& args,
                    bool ultimateInstalled);
int GetProductScope();
int GetProductFromCommandLine();
// The scope of the current run (process-wide).
int CurrentProductScope();

std::wstring GetTempFolder();
// Deletes a folder tree without the recycle bin, entry by entry (paths
// beyond MAX_PATH too), then through the shell for anything left. Links are never followed or deleted: a
// folder that is a link is left alone (false); a folder holding links is
// renamed aside whole ("<folder>-<ticks>") instead of deleted.
bool RemoveFolder(const std::wstring& path);
void MakeFilesInfo(const std::wstring& gatherFolder, IGatherSteps& steps, int scope);

}  // namespace pelmo
