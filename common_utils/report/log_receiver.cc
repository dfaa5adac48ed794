#include "common_utils/report/log_receiver.h"

#include <mutex>
#include <shared_mutex>

namespace kvtr::format {
namespace {

std::shared_mutex& ReceiverLock() {
  static std::shared_mutex lock;
  return lock;
}
LogReceiver* g_receiver = nullptr;
thread_local bool t_inside = false;

}  // namespace

bool AdoptLogReceiver(LogReceiver* receiver) noexcept {
  std::unique_lock<std::shared_mutex> hold(ReceiverLock());
  if (g_receiver == nullptr) g_receiver = receiver;
  return g_receiver == receiver;
}

void ReleaseLogReceiver(LogReceiver* receiver) noexcept {
  std::unique_lock<std::shared_mutex> hold(ReceiverLock());
  if (g_receiver == receiver) g_receiver = nullptr;
}

namespace detail {

LogReceiver* EnterReceiver() noexcept {
  if (t_inside) return nullptr;
  ReceiverLock().lock_shared();
  if (g_receiver == nullptr) {
    ReceiverLock().unlock_shared();
    return nullptr;
  }
  t_inside = true;
  return g_receiver;
}

void LeaveReceiver() noexcept {
  t_inside = false;
  ReceiverLock().unlock_shared();
}

}  // namespace detail
}  // namespace kvtr::format
