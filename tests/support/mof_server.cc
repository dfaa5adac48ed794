#include "support/mof_server.h"

#include "support/test_machine.h"

namespace kvtr::test {

#ifdef _WIN32

namespace {
using ServerFunction = HRESULT(STDAPICALLTYPE*)();

ServerFunction Export(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // Through void* so that the function type change is explicit.
  return reinterpret_cast<ServerFunction>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

WString MofServer::DllPath() {
  wchar path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  WString folder(path, length <= MAX_PATH ? length : 0);
  folder.resize(folder.find_last_of(L"\\/") + 1);
  return folder + L"kvtr_mofcomp.dll";
}

MofServer::MofServer() {
  if (!RunningUnderWine()) {
    usable_ = false;
    registerResult_ = E_ACCESSDENIED;
    return;
  }
  module_ = LoadLibraryW(DllPath().c_str());
  if (module_ == nullptr) {
    registerResult_ = HRESULT_FROM_WIN32(GetLastError());
    return;
  }
  ServerFunction registerServer = Export(module_, "DllRegisterServer");
  registerResult_ = registerServer != nullptr ? registerServer() : E_FAIL;
  registered_ = SUCCEEDED(registerResult_);
}

HRESULT MofServer::Unregister() {
  if (!registered_) return S_FALSE;
  registered_ = false;
  ServerFunction unregisterServer = Export(module_, "DllUnregisterServer");
  return unregisterServer != nullptr ? unregisterServer() : E_FAIL;
}

MofServer::~MofServer() {
  Unregister();
  if (module_ != nullptr) FreeLibrary(module_);
}

#else

WString MofServer::DllPath() { return {}; }
MofServer::MofServer() = default;
MofServer::~MofServer() = default;
HRESULT MofServer::Unregister() { return S_FALSE; }

#endif

}  // namespace kvtr::test
