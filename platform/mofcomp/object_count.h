// Live compiler objects, for the COM server's DllCanUnloadNow.
#pragma once

#include "platform/win32.h"

namespace kvtr::mof {

LONG LiveCompilerObjects();

}  // namespace kvtr::mof
