#include "platform/PrivateFiles.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/Handles.h"
#include "platform/Text.h"

namespace pelmo {

namespace {

// Full access for Administrators and SYSTEM, inherited by files and folders
// below; "P": protected from the parent's entries.
const wchar_t kPrivateSddl[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

struct PrivateDescriptor {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    UniqueLocal owner;
    PrivateDescriptor()
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateSddl, SDDL_REVISION_1, &sd, nullptr)) {
            owner.reset(sd);
            attributes.lpSecurityDescriptor = sd;
        }
    }
};

}  // namespace

SECURITY_ATTRIBUTES* PrivateSecurity()
{
    static PrivateDescriptor descriptor;
    return descriptor.attributes.lpSecurityDescriptor ? &descriptor.attributes : nullptr;
}

bool MakePrivate(HANDLE object)
{
    SECURITY_ATTRIBUTES* sa = PrivateSecurity();
    if (!sa) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl, &defaulted) || !present) return false;
    // Some systems take no descriptor at creation: it is set again, with
    // the parent's entries kept out.
    return SetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool CreatePrivateFolder(const std::wstring& path)
{
    const std::wstring dir = ExcludeTrailingBackslash(path);
    if (dir.empty()) return false;
    if (!CreateDirectoryW(LongPath(dir).c_str(), PrivateSecurity())) return false;
    UniqueFile h(CreateFileW(LongPath(dir).c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
    if (h && MakePrivate(h.get())) return true;
    const DWORD error = GetLastError();
    h.reset();
    RemoveDirectoryW(LongPath(dir).c_str());  // never left behind half-protected
    SetLastError(error);
    return false;
}

bool ShareWithParent(const std::wstring& path)
{
    ACL empty;
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) return false;
    std::wstring p = LongPath(ExcludeTrailingBackslash(path));
    return SetNamedSecurityInfoW(p.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 &empty, nullptr) == ERROR_SUCCESS;
}

std::wstring DaclTextOf(PSECURITY_DESCRIPTOR sd)
{
    LPWSTR text = nullptr;
    if (!sd || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &text, nullptr))
        return {};
    UniqueLocal textOwner(text);
    return text;
}

std::wstring DaclText(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring p = LongPath(ExcludeTrailingBackslash(path));
    if (GetNamedSecurityInfoW(p.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return {};
    UniqueLocal owner(sd);
    return DaclTextOf(sd);
}

}  // namespace pelmo
