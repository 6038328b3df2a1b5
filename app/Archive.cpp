#include "app/Archive.h"

#include "platform/Log.h"
#include "platform/Text.h"

namespace pelmo {

int ZipGatherFolder(const std::wstring& gatherFolder, const std::wstring& archivePath,
                    const zip::WriterOptions& options)
{
    // The writer holds the root with a trailing backslash again.
    const std::wstring root = IncludeTrailingBackslash(ExcludeTrailingBackslash(gatherFolder));
    zip::ZipWriter writer(archivePath, options);
    int count = writer.AddFolder(root);
    for (const zip::SkippedFile& skipped : writer.Skipped())
        WriteLog(L"ZipFile left out " + skipped.path + L": " + skipped.reason);
    try {
        writer.Finish();
    } catch (const zip::ArchiveCheckError& e) {
        // Nothing is offered: the caller takes the path for a missing archive.
        WriteLog(e.Message());
        throw;
    }
    WriteLog(L"zip:root=" + root + L"zipName=" + writer.ArchivePath() + L"ret=" + std::to_wstring(count));
    return count;
}

}  // namespace pelmo
