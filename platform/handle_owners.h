// The owners of every kind of handle the code holds: one UniqueHandle alias
// per kind, each with the function that closes it. Every close keeps the
// thread's last error as it was, so an owner that ends on an error path
// does not change the error being reported.
#pragma once

#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace kvtr {

namespace handle_kind {

// A close function and the invalid value of one handle kind.
template <typename T, T kInvalid, auto close>
struct Traits {
  using Handle = T;
  static Handle Invalid() noexcept { return kInvalid; }
  static void Close(Handle handle) noexcept {
    const DWORD error = GetLastError();
    close(handle);
    SetLastError(error);
  }
};

// Kinds whose invalid value is not a constant expression (a pointer made
// from an integer, such as INVALID_HANDLE_VALUE).
struct FindTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) noexcept {
    const DWORD error = GetLastError();
    FindClose(handle);
    SetLastError(error);
  }
};
struct FileTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) noexcept {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
  }
};
struct SocketTraits {
  using Handle = SOCKET;
  static Handle Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(Handle socket) noexcept {
    const int error = WSAGetLastError();
    closesocket(socket);
    WSASetLastError(error);
  }
};

inline void CloseKernelObject(HANDLE handle) { CloseHandle(handle); }
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void CloseEventSource(HANDLE source) { DeregisterEventSource(source); }
inline void CloseModule(HMODULE module) { FreeLibrary(module); }
inline void CloseLocalMemory(HLOCAL memory) { LocalFree(memory); }
inline void CloseTaskMemory(void* memory) { CoTaskMemFree(memory); }
inline void CloseApartment(bool) { CoUninitialize(); }

template <typename Interface>
struct ComPointerTraits {
  using Handle = Interface*;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle pointer) noexcept { pointer->Release(); }
};

}  // namespace handle_kind

// An event, a thread, a process, a snapshot: CloseHandle; null is invalid.
using UniqueKernelHandle = UniqueHandle<handle_kind::Traits<HANDLE, nullptr, &handle_kind::CloseKernelObject>>;
// A file opened with CreateFile: CloseHandle; INVALID_HANDLE_VALUE is invalid.
using UniqueFile = UniqueHandle<handle_kind::FileTraits>;
// A FindFirstFile search: FindClose.
using UniqueFindHandle = UniqueHandle<handle_kind::FindTraits>;
using UniqueKey = UniqueHandle<handle_kind::Traits<HKEY, nullptr, &handle_kind::CloseKey>>;
using UniqueSocket = UniqueHandle<handle_kind::SocketTraits>;
// RegisterEventSource's handle: DeregisterEventSource.
using UniqueEventSource = UniqueHandle<handle_kind::Traits<HANDLE, nullptr, &handle_kind::CloseEventSource>>;
// A LoadLibrary reference: FreeLibrary.
using UniqueModule = UniqueHandle<handle_kind::Traits<HMODULE, nullptr, &handle_kind::CloseModule>>;
using UniqueLocalMemory = UniqueHandle<handle_kind::Traits<HLOCAL, nullptr, &handle_kind::CloseLocalMemory>>;
using UniqueTaskMemory = UniqueHandle<handle_kind::Traits<void*, nullptr, &handle_kind::CloseTaskMemory>>;
// One successful CoInitializeEx (S_OK or S_FALSE) of this thread, undone
// with CoUninitialize: ScopedComApartment(SUCCEEDED(hr)).
using ScopedComApartment = UniqueHandle<handle_kind::Traits<bool, false, &handle_kind::CloseApartment>>;
// A COM interface pointer, released when the owner ends. A plain Release,
// for objects the library trusts; an untrusted object's release runs in a
// guarded region of the caller's.
template <typename Interface>
using UniqueCom = UniqueHandle<handle_kind::ComPointerTraits<Interface>>;

}  // namespace kvtr
