// Owner of a kernel object handle (an event, a thread, a process): closed
// with CloseHandle, keeping the thread's last error. NULL is its invalid
// value, as for every handle these objects are created with.
#pragma once

#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace kvtr {

struct KernelHandleTraits {
  using Handle = HANDLE;
  static constexpr Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
  }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace kvtr
