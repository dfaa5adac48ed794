// A process-wide receiver slot for the hand-overs that stand in for the
// diagnostic logger: set and called under one lock, so a listener is never
// called after it was replaced, and never re-entered from its own thread
// (what a listener itself hands over is dropped).
#pragma once

#include <mutex>

namespace kvtr::format {

template <typename Listener>
class ListenerSlot {
 public:
  void Set(Listener listener, void* context) {
    std::lock_guard<std::mutex> lock(lock_);
    listener_ = listener;
    context_ = context;
    __atomic_store_n(&installed_, listener != nullptr, __ATOMIC_RELAXED);
  }

  // Read without the lock, as the logger's level settings are.
  bool installed() const { return __atomic_load_n(&installed_, __ATOMIC_RELAXED); }

  template <typename... Args>
  void Call(const Args&... args) {
    if (t_inside) return;
    std::lock_guard<std::mutex> lock(lock_);
    if (listener_ == nullptr) return;
    struct Reentry {
      Reentry() { t_inside = true; }
      ~Reentry() { t_inside = false; }
    } reentry;
    listener_(args..., context_);
  }

 private:
  std::mutex lock_;
  Listener listener_ = nullptr;
  void* context_ = nullptr;
  bool installed_ = false;
  static thread_local bool t_inside;
};

template <typename Listener>
thread_local bool ListenerSlot<Listener>::t_inside = false;

}  // namespace kvtr::format
