// A debugger for a child process (Windows): runs it to its end and keeps
// the strings it writes to the debugger output.
#pragma once

#ifdef _WIN32
#include <string>
#include <vector>

#include "platform/win32.h"

namespace kvtr::test {

// Runs `command` under this thread as its debugger until it exits; returns
// its exit code and each debugger string it wrote.
DWORD DebugChild(const WCHAR* program, WString command, const WCHAR* directory, std::vector<std::string>& outputs);

}  // namespace kvtr::test
#endif
