// Makes the MOF compiler reachable through CoCreateInstance for a test.
//
// Linux: nothing to do, the POSIX layer's class table always holds it.
// Wine: registers kvtr_mofcomp.dll (next to the test program) as the COM
// server of CLSID_MofCompiler in the test's prefix, and unregisters it
// again. On Windows proper the class id belongs to the system's compiler,
// which is left alone: Usable() is false there and the tests skip.
#pragma once

#include "platform/win32.h"

namespace kvtr::test {

class MofServer {
 public:
  MofServer();
  ~MofServer();
  MofServer(const MofServer&) = delete;
  MofServer& operator=(const MofServer&) = delete;

  bool Usable() const { return usable_; }
  // What DllRegisterServer answered (S_OK on Linux).
  HRESULT RegisterResult() const { return registerResult_; }
  // Removes the registration before the destructor would (Wine only).
  HRESULT Unregister();

  // The full path of kvtr_mofcomp.dll beside the test program (Windows).
  static WString DllPath();

 private:
  bool usable_ = true;
  bool registered_ = false;
  HRESULT registerResult_ = S_OK;
  HMODULE module_ = nullptr;
};

}  // namespace kvtr::test
