// The Windows Installer's API for custom action DLLs (Windows builds only;
// nothing on the emulated machine runs an installation).
#pragma once

#include "platform/unique_handle.h"
#include "platform/win32.h"

#ifdef _WIN32
#include <msi.h>
#include <msiquery.h>
#else
#error "the Windows Installer API exists only on Windows"
#endif

namespace kvtr {

// A record, a view or a database of the installer: MsiCloseHandle; 0 is
// invalid.
struct MsiHandleTraits {
  using Handle = MSIHANDLE;
  static Handle Invalid() noexcept { return 0; }
  static void Close(Handle handle) noexcept { MsiCloseHandle(handle); }
};
using UniqueMsiHandle = UniqueHandle<MsiHandleTraits>;

}  // namespace kvtr
