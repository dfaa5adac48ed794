// Small path and file functions the installer operations share: existence
// tests, the directory of a path, a trailing backslash, expansion of
// environment variables with resolution of relative paths, and the four
// version numbers of a file or a loaded module. None of them reports
// anything; their callers decide what to say.
#pragma once

#include "platform/win32.h"

namespace kvtr::installer {

// Working buffers hold the platform's path limit, terminator included.
constexpr DWORD kPathUnits = 260;

// True for an existing file (not a directory). A file whose attributes
// cannot be read because it is shared or locked counts as existing.
bool FileExists(const WCHAR* path);
bool FileExistsA(const char* path);
// True for an existing directory, also one on a network share whose
// attributes cannot be read for lack of names or sessions.
bool DirectoryExists(const WCHAR* path);

// Drive and directory of a path, with its trailing separator ("\" or "/"):
// C:\Setup\setup.exe gives C:\Setup\, C:setup.exe gives C:, setup.exe "".
WString GetDirectoryOfPath(const WCHAR* path);
// The text with a backslash appended unless it is empty or already ends in
// one (a slash does not count).
WString EnsureTrailingBackslash(const WString& text);

// Expands %VARIABLES% and makes a path that starts with a dot absolute.
// False, with `out` emptied, for an empty path, an expansion longer than the
// working buffer, or a full path that does not fit in `capacity`.
bool ExpandFullPath(const WCHAR* path, WCHAR* out, DWORD capacity);

// The file version (major.minor.build.revision) from a file's version
// resource. All four are 0 when it returns false.
bool GetFileVersionNumbers(const WCHAR* path, DWORD& major, DWORD& minor, DWORD& build, DWORD& revision);
// The same for a loaded module by name, or a file path when no module of
// that name is loaded.
bool GetModuleVersionNumbers(const WCHAR* moduleName, DWORD& major, DWORD& minor, DWORD& build, DWORD& revision);

}  // namespace kvtr::installer
