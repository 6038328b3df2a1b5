// Packs the gather folder into the report archive.
#pragma once

#include <string>

#include "zip/ZipWriter.h"

namespace pelmo {

// Packs every visible file below gatherFolder (full path, trailing
// backslash) into archivePath and logs the result line; returns the number
// of files packed. Raises pelmo::Error when the archive cannot be written
// or does not read back whole (that failure is logged with the entry's
// name); no archive is left at archivePath then.
int ZipGatherFolder(const std::wstring& gatherFolder, const std::wstring& archivePath,
                    const zip::WriterOptions& options = {});

}  // namespace pelmo
