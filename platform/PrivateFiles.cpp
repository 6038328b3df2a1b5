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

bool CreatePrivateFolder(const std::wstring& path)
{
    const std::wstring dir = ExcludeTrailingBackslash(path);
    if (dir.empty()) return false;
    return CreateDirectoryW(LongPath(dir).c_str(), PrivateSecurity()) != FALSE;
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

std::wstring DaclText(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring p = LongPath(ExcludeTrailingBackslash(path));
    if (GetNamedSecurityInfoW(p.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return {};
    UniqueLocal owner(sd);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                              nullptr))
        return {};
    UniqueLocal textOwner(text);
    return text;
}

}  // namespace pelmo
