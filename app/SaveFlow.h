// Helpers of the save flow: where the report goes, and the rescue copy of the
// gather folder when no archive could be made.
#pragma once

#include <string>

#include "app/uInfoMain.h"
#include "platform/Text.h"

namespace pelmo {

// The report folder for a desktop path: when the process runs under another
// account than the logged-on user, "\<process user>\" becomes "\<logged-on
// user>\" (letter case ignored).
std::wstring RewriteForLoggedOnUser(const std::wstring& desktop, const std::wstring& logUser,
                                    const std::wstring& procUser);

// Appends the full path of every file below folder (trailing backslash),
// breadth first. Linked folders are not entered. A failure ends the walk and
// is logged; list keeps what it has.
void GetFiles(const std::wstring& folder, LineList& list);

// What the user is shown at the end of a run.
enum class SaveKind {
    Saved,    // this run's archive, at path
    Rescued,  // no archive: the gathered files, in the folder at path
    LogOnly,  // nothing to offer but the log
};
struct SaveOutcome {
    SaveKind kind = SaveKind::LogOnly;
    std::wstring path;
};

// Before the run: removes an old report at saveFile (a link is removed, never
// followed). False, and logged, when something is still there.
bool ClearSaveFile(const std::wstring& saveFile);

// After the run: offers only what this run made and checked. The archive is
// copied to saveFile, or to a free name beside it ("Pelmo_Debug_Info (2).zip")
// when something there could not be removed; nothing is ever copied over an
// existing file. When no copy can be made, the archive in the temporary
// folder is offered. Without an archive the gather folder is copied into a
// folder made anew beside saveFile ("Pelmo_Debug_Info", or a free name), so
// it holds this run's files only. Whatever is offered is handed to the user
// (it inherits the permissions of the folder it lies in).
SaveOutcome SaveReport(const GatherResult& result, const std::wstring& saveFile);

// Copies every file below source to the same place below destination.
// Returns true only when every file was copied. Never writes through a
// linked folder or over a linked file.
bool CopyFolder(const std::wstring& destination, const std::wstring& source);

}  // namespace pelmo
