// Collectors that record what the driver asked of them, with switches to
// make single rows fail.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "app/uInfoMain.h"

namespace pelmo::test {

class FakeSteps : public IGatherSteps {
public:
    int scope = 0;
    std::wstring tempFolder;
    std::set<std::wstring> failing;  // names of the rows that raise
    std::vector<std::wstring> calls;
    std::vector<std::wstring> filesAtZipTime;
    std::vector<std::pair<std::wstring, std::wstring>> bdErrorCalls;
    std::vector<int> sections;
    std::atomic<bool> sideFinished{false};

    int ProductScope() override { return scope; }
    std::wstring TempFolder() override { return tempFolder; }
    std::wstring ModuleFileVersion() override { return Hit(L"Version"), L"9.0.0.1"; }
    void GetOSInfoEx(LineList& l) override { Hit(L"GetOSInfoEx"), l.push_back(L"os"); }
    void GetProcessListEx(LineList& l) override { Hit(L"GetProcessListEx"), l.push_back(L"proc"); }
    void EnumServices(LineList& l) override { Hit(L"EnumServices"), l.push_back(L"svc"); }
    void GetBHOItemListEx(LineList& l) override { Hit(L"GetBHOItemListEx"), l.push_back(L"bho"); }
    LineList GetAutorunListx() override { return Hit(L"GetAutorunListx"), LineList{L"run1", L"run2"}; }
    void GetWSCInfo(LineList& l) override { Hit(L"GetWSCInfo"), l.push_back(L"wsc"); }
    void FindAppPath() override { Hit(L"FindAppPath"); }
    void GetAppFileInfo(LineList& l) override { Hit(L"GetAppFileInfo"), l.push_back(L"files"); }
    void DoClllectEx(LineList& l) override { Hit(L"DoClllectEx"), l.push_back(L"[uninstall]"); }
    void DoClllectDNS(LineList& l) override { Hit(L"DoClllectDNS"), l.push_back(L"[dns]"); }
    void AddFilesInfoSection(LineList& l, int row) override
    {
        Hit(L"AddFilesInfoSection");
        sections.push_back(row);
        l.push_back(L"section " + std::to_wstring(row));
    }
    void LoadLog(const std::wstring&) override { Hit(L"LoadLog"); }
    void LoadOtherInfo(const std::wstring&, uint32_t) override { Hit(L"LoadOtherInfo"); }
    void LoadOnlyForTrevioTool(const std::wstring&) override { Hit(L"LoadOnlyForTrevioTool"); }
    void EnumTasks(const std::wstring&) override { Hit(L"EnumTasks"); }
    void GenMLVLogFiles(const std::wstring&) override { Hit(L"GenMLVLogFiles"); }
    std::wstring GetInstallLocation(const std::wstring& name) override
    {
        return name == L"Pelmo Gardex_is1" ? L"C:\\Gardex\\" : L"";
    }
    void GenNeedFileByBDError(const std::wstring& s, const std::wstring& d, const std::wstring&) override
    {
        Hit(L"GenNeedFileByBDError");
        bdErrorCalls.emplace_back(s, d);
    }
    void GenGDXLogFiles(const std::wstring&) override { Hit(L"GenGDXLogFiles"); }
    void WriteSystemInfoFile(const std::wstring& gather) override;
    int ZipGatherFolder(const std::wstring& gather, const std::wstring& archive) override;

private:
    void Hit(const std::wstring& name);
};

}  // namespace pelmo::test
