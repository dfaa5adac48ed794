// The built module loaded at run time, as a host loads it: LoadLibraryW
// next to the test program on Windows, dlopen of the built file elsewhere.
#pragma once

#include "platform/win32.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace kvtr::test {

class LoadedModule {
 public:
  LoadedModule() {
#ifdef _WIN32
    handle_ = LoadLibraryW(L"kvtr.dll");
#else
    handle_ = dlopen(KVTR_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~LoadedModule() { Unload(); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void* Find(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
  }
  void Unload() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
  }

 private:
  void* handle_ = nullptr;
};

}  // namespace kvtr::test
