// POSIX platform layer: COM (CoInitializeEx, CoUninitialize,
// CoCreateInstance, CoTaskMemAlloc/Free, StringFromGUID2).
//
// Each thread keeps its own initialisation count and model; a thread that
// never initialised COM can still create objects while some thread of the
// process holds the multithreaded apartment, as on Windows. Objects come
// from class objects the process registered at run time, newest first, and
// then from an in-process class table in which the MOF compiler is
// registered.
#include <atomic>
#include <mutex>
#include <vector>
#include <cstdlib>
#include <cstring>

#include "layer.h"
#include "platform/mofcomp/mof_compiler.h"
#include "win32_com.h"

namespace {

struct ThreadCom {
  int count = 0;
  DWORD model = 0;
};
thread_local ThreadCom t_com;
std::atomic<int> g_multithreadedThreads{0};

bool IsMultithreaded(DWORD coInit) { return (coInit & COINIT_APARTMENTTHREADED) == 0; }

typedef HRESULT (*CreateFunction)(REFIID iid, void** object);
struct ClassEntry {
  const CLSID* clsid;
  CreateFunction create;
};
const ClassEntry kClassTable[] = {
    {&CLSID_MofCompiler, &kvtr::mof::CreateMofCompiler},
};

struct RegisteredClass {
  CLSID clsid;
  IUnknown* object;
  DWORD cookie;
};
std::mutex g_registeredLock;
std::vector<RegisteredClass> g_registered;
DWORD g_nextCookie = 1;

// A registered class object for `clsid` with a reference, or null.
IUnknown* FindRegistered(REFCLSID clsid) {
  std::lock_guard<std::mutex> hold(g_registeredLock);
  for (auto it = g_registered.rbegin(); it != g_registered.rend(); ++it) {
    if (IsEqualGUID(it->clsid, clsid)) {
      it->object->AddRef();
      return it->object;
    }
  }
  return nullptr;
}

}  // namespace

extern "C" {

HRESULT CoInitializeEx(LPVOID, DWORD coInit) try {
  if (t_com.count > 0) {
    if (IsMultithreaded(t_com.model) != IsMultithreaded(coInit)) return RPC_E_CHANGED_MODE;
    ++t_com.count;
    return S_FALSE;
  }
  t_com.count = 1;
  t_com.model = coInit;
  if (IsMultithreaded(coInit)) ++g_multithreadedThreads;
  return S_OK;
} catch (...) {
  return kvtr::posix::HresultOfException();
}

void CoUninitialize(void) try {
  if (t_com.count == 0) return;
  if (--t_com.count == 0 && IsMultithreaded(t_com.model)) --g_multithreadedThreads;
} catch (...) {
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) try {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (DWORD fault = kvtr::posix::InjectedFault("CoCreateInstance", "com")) return static_cast<HRESULT>(fault);
  if (t_com.count == 0 && g_multithreadedThreads.load() == 0) return CO_E_NOTINITIALIZED;
  if (IUnknown* registered = FindRegistered(clsid)) {
    IClassFactory* factory = nullptr;
    HRESULT result = registered->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    registered->Release();
    if (FAILED(result)) return result;
    result = factory->CreateInstance(outer, iid, object);
    factory->Release();
    return result;
  }
  for (const ClassEntry& entry : kClassTable) {
    if (!IsEqualGUID(*entry.clsid, clsid)) continue;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return entry.create(iid, object);
  }
  return REGDB_E_CLASSNOTREG;
} catch (...) {
  return kvtr::posix::HresultOfException();
}

HRESULT CoRegisterClassObject(REFCLSID clsid, LPUNKNOWN object, DWORD, DWORD, LPDWORD cookie) try {
  if (object == nullptr || cookie == nullptr) return E_INVALIDARG;
  if (t_com.count == 0 && g_multithreadedThreads.load() == 0) return CO_E_NOTINITIALIZED;
  object->AddRef();
  std::lock_guard<std::mutex> hold(g_registeredLock);
  *cookie = g_nextCookie++;
  g_registered.push_back(RegisteredClass{clsid, object, *cookie});
  return S_OK;
} catch (...) {
  return kvtr::posix::HresultOfException();
}

HRESULT CoRevokeClassObject(DWORD cookie) try {
  IUnknown* object = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_registeredLock);
    for (auto it = g_registered.begin(); it != g_registered.end(); ++it) {
      if (it->cookie == cookie) {
        object = it->object;
        g_registered.erase(it);
        break;
      }
    }
  }
  if (object == nullptr) return E_INVALIDARG;
  object->Release();
  return S_OK;
} catch (...) {
  return kvtr::posix::HresultOfException();
}

LPVOID CoTaskMemAlloc(SIZE_T bytes) { return std::malloc(bytes ? bytes : 1); }

void CoTaskMemFree(LPVOID memory) { std::free(memory); }

int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity) try {
  constexpr int kLength = 39;  // braces, 32 digits, 4 dashes and the terminator
  if (text == nullptr || capacity < kLength) return 0;
  static const char kDigits[] = "0123456789ABCDEF";
  int at = 0;
  auto hex = [&](uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text[at++] = kDigits[(value >> shift) & 15];
  };
  text[at++] = '{';
  hex(guid.Data1, 8);
  text[at++] = '-';
  hex(guid.Data2, 4);
  text[at++] = '-';
  hex(guid.Data3, 4);
  text[at++] = '-';
  hex(guid.Data4[0], 2);
  hex(guid.Data4[1], 2);
  text[at++] = '-';
  for (int i = 2; i < 8; ++i) hex(guid.Data4[i], 2);
  text[at++] = '}';
  text[at] = 0;
  return kLength;
} catch (...) {
  return 0;
}

}  // extern "C"
