// POSIX platform layer: fault injection and the reset of the emulation
// control. Every service asks InjectedFault once per call; the answer is the
// status an armed fault wants that call to fail with. A fault counts the
// calls of the thread that armed it only; the call counts are the whole
// process's.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emulation.h"
#include "layer.h"

namespace {

struct ArmedFault {
  std::string service;
  std::thread::id thread;  // the thread that armed it, whose calls it counts
  unsigned nth;
  unsigned seen;
  DWORD status;
};

std::mutex g_faultLock;
std::unordered_map<std::string, unsigned> g_calls;
std::vector<ArmedFault> g_armed;
std::atomic<unsigned> g_writesBeforeKill{0};  // 0: no kill armed

}  // namespace

namespace kvtr::posix {

DWORD InjectedFault(const char* api, const char* group) {
  std::lock_guard<std::mutex> hold(g_faultLock);
  ++g_calls[api];
  ++g_calls[group];
  DWORD status = 0;
  const std::thread::id self = std::this_thread::get_id();
  for (auto it = g_armed.begin(); it != g_armed.end();) {
    if (it->thread == self && (it->service == api || it->service == group)) {
      if (++it->seen == it->nth) {
        if (status == 0) status = it->status;
        it = g_armed.erase(it);
        continue;
      }
    }
    ++it;
  }
  return status;
}

bool KillInThisWrite() noexcept {
  unsigned left = g_writesBeforeKill.load();
  while (left != 0) {
    if (g_writesBeforeKill.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

void DieMidWrite() noexcept {
  raise(SIGKILL);
  _exit(128 + SIGKILL);  // not reached
}

}  // namespace kvtr::posix

extern "C" {

void KvtrEmu_KillInWrite(unsigned nth) { g_writesBeforeKill = nth; }

void KvtrEmu_FailCall(const char* service, unsigned nth, DWORD status) try {
  if (service == nullptr || nth == 0 || status == 0) return;
  std::lock_guard<std::mutex> hold(g_faultLock);
  g_armed.push_back(ArmedFault{service, std::this_thread::get_id(), nth, 0, status});
} catch (...) {
}

unsigned KvtrEmu_CallCount(const char* service) try {
  if (service == nullptr) return 0;
  std::lock_guard<std::mutex> hold(g_faultLock);
  auto found = g_calls.find(service);
  return found == g_calls.end() ? 0 : found->second;
} catch (...) {
  return 0u;
}

void KvtrEmu_Reset(void) try {
  {
    std::lock_guard<std::mutex> hold(g_faultLock);
    g_armed.clear();
    g_calls.clear();
    g_writesBeforeKill = 0;
  }
  kvtr::posix::CodePagesResetControls();
  kvtr::posix::ModulesResetControls();
  kvtr::posix::PerformanceDataResetControls();
  kvtr::posix::RegistryResetControls();
  kvtr::posix::TimeResetControls();
} catch (...) {
}

}  // extern "C"
