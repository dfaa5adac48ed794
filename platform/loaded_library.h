// A module loaded by path, as a setup program loads kvtr.dll: LoadLibraryW
// and GetProcAddress, on Windows and on the emulated machine alike.
#pragma once

#include <string>

#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr {

class LoadedLibrary {
 public:
  explicit LoadedLibrary(const WCHAR* path) : module_(LoadLibraryW(path)) {
    if (!module_) error_ = GetLastError();
  }

  bool loaded() const noexcept { return static_cast<bool>(module_); }
  // The last error of a load that failed.
  DWORD error() const noexcept { return error_; }
  void* Find(const char* name) const noexcept {
    return module_ ? reinterpret_cast<void*>(GetProcAddress(module_.get(), name)) : nullptr;
  }
  // Lets the module go before the owner ends.
  void Unload() noexcept { module_.reset(); }

 private:
  UniqueModule module_;
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace kvtr
