// The MOF compiler emulator: a COM object implementing IMofCompiler over a
// class repository kept on the emulated machine. On Linux the platform
// layer's class table creates it; in the Windows test build it is an
// in-process COM server registered under the MOF compiler's class id.
#pragma once

#include "platform/win32.h"

namespace kvtr::mof {

// Creates a new compiler object and returns the interface `iid` of it
// (IUnknown or IMofCompiler) with one reference; E_NOINTERFACE otherwise.
HRESULT CreateMofCompiler(REFIID iid, void** object);

}  // namespace kvtr::mof
