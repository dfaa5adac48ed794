// Installing the product's performance classes: the router's two MOF files
// and the agent's one, compiled from a given directory or from the
// directory of the host's executable.
#pragma once

#include "platform/win32.h"

namespace kvtr::installer {

// 0 both compiled; -1 executable path unreadable; -2 the first file failed
// (the second was not tried); -3 the second failed; -4 a standard exception;
// -5 the directory does not exist, or any other exception.
int InstRouter(const WCHAR* directory);
// 0 compiled; -1 executable path unreadable or compilation failed; -5 the
// directory does not exist.
int InstAgent(const WCHAR* directory);

// Base directory joined with a file name, with a backslash between them
// unless the base is empty or already ends in one.
WString MofPath(const WString& base, const WCHAR* fileName);

}  // namespace kvtr::installer
