// Scratch folders and file helpers for tests.
#pragma once

#include <string>

#include "platform/win.h"

namespace pelmo::test {

// A fresh folder below the user's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Full path with trailing backslash.
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// Deletes a tree without the shell (test clean-up only).
void DeleteTree(const std::wstring& path);

}  // namespace pelmo::test

namespace pelmo::test {
// Makes a directory symbolic link; false where the platform cannot (Wine 8
// reports success without making one, so the result is checked).
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);
}  // namespace pelmo::test
