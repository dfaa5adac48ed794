// Owner of a COM interface pointer: released when the owner ends. The
// release runs in a guarded region by the caller's choice elsewhere; here it
// is a plain Release, for objects the library trusts (its own enumerations).
#pragma once

#include "platform/unique_handle.h"
#include "platform/win32.h"

namespace kvtr {

template <typename Interface>
struct ComPointerTraits {
  using Handle = Interface*;
  static constexpr Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle pointer) noexcept { pointer->Release(); }
};
template <typename Interface>
using UniqueCom = UniqueHandle<ComPointerTraits<Interface>>;

}  // namespace kvtr
