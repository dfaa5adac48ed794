// kvtr_mofcomp.dll: the MOF compiler emulator as an in-process COM server
// for the Windows test build. DllRegisterServer points the MOF compiler's
// class id at this DLL (HKLM\Software\Classes\CLSID\{...}\InprocServer32,
// threading model Both), so CoCreateInstance(CLSID_MofCompiler) reaches it
// under Wine; DllUnregisterServer removes that key again.
#include <atomic>

#include "platform/handle_owners.h"
#include "platform/mofcomp/mof_compiler.h"
#include "platform/mofcomp/object_count.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<LONG> g_serverLocks{0};

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}";
constexpr wchar_t kServerKey[] =
    L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}\\InprocServer32";

// One static factory: its reference count does not govern its lifetime.
class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return kvtr::mof::CreateMofCompiler(iid, object);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) ++g_serverLocks;
    else --g_serverLocks;
    return S_OK;
  }
};

ClassFactory g_factory;

HRESULT SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
  const LONG status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_MofCompiler)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow(void) {
  return kvtr::mof::LiveCompilerObjects() == 0 && g_serverLocks.load() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer(void) {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return E_FAIL;
  kvtr::UniqueKey classKey;
  LONG status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, classKey.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  HRESULT hr = SetString(classKey.get(), nullptr, L"MOF compiler (kvtr emulator)");
  if (FAILED(hr)) return hr;
  kvtr::UniqueKey serverKey;
  status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, serverKey.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  hr = SetString(serverKey.get(), nullptr, path);
  if (SUCCEEDED(hr)) hr = SetString(serverKey.get(), L"ThreadingModel", L"Both");
  return hr;
}

STDAPI DllUnregisterServer(void) {
  LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServerKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
  status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kClassKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
  return S_OK;
}
