// One owner for every kind of handle: UniqueHandle<Traits> holds one handle
// and closes it when it ends. A traits struct per kind names the handle
// type, its invalid value (null for keys and events, INVALID_HANDLE_VALUE
// for files, -1 for descriptors, ...) and its close function, which keeps
// the thread's last error (or errno) as it was. Handles move, never copy.
#pragma once

#include <utility>

namespace kvtr {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

  // Gives the handle up without closing it.
  Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  // Closes the handle held (if any) and takes `handle`.
  void reset(Handle handle = Traits::Invalid()) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // For out-parameters: closes the handle held and lends its slot.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

}  // namespace kvtr
