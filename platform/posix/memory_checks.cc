// POSIX platform layer: memory checks (IsBadReadPtr, IsBadWritePtr,
// IsBadStringPtrA/W).
//
// Reads are probed under a fault guard, as Windows does: a SIGSEGV/SIGBUS
// handler, installed once and chaining to any earlier handler, returns
// control to the probe when the probe's own read faults. That costs no
// kernel round trip, which matters because the checked formatter probes
// every message. Write checks never write: they read the mapping's
// protection from /proc/self/maps. Every check is thread-safe and never
// crashes. A host that later replaces the handler without chaining to it
// loses the guard.
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "layer.h"
#include "win32_api.h"

namespace {

struct Probe {
  sigjmp_buf resume;
  volatile sig_atomic_t active = 0;
};

// Initial-exec TLS: no lookup call, and safe to read in the signal handler.
__attribute__((tls_model("initial-exec"))) thread_local Probe* t_probe = nullptr;
struct sigaction g_previousSegv;
struct sigaction g_previousBus;
std::once_flag g_handlerInstalled;
std::atomic<bool> g_handlerReady{false};

void OnFault(int signal, siginfo_t* info, void* context) {
  Probe* probe = t_probe;
  if (probe != nullptr && probe->active) {
    probe->active = 0;
    siglongjmp(probe->resume, 1);
  }
  // Not a probe's fault: hand it to whoever handled the signal before.
  const struct sigaction& previous = signal == SIGBUS ? g_previousBus : g_previousSegv;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // Default action: the faulting instruction runs again and ends the process
  // the usual way; a signal sent by kill() is raised again.
  ::signal(signal, SIG_DFL);
  if (info == nullptr || info->si_code <= 0) raise(signal);
}

void InstallHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_previousSegv);
  sigaction(SIGBUS, &action, &g_previousBus);
}

// Runs `read` with faults turned into a false result.
template <typename Read>
bool GuardedRead(Read&& read) {
  if (!g_handlerReady.load(std::memory_order_acquire)) {
    std::call_once(g_handlerInstalled, InstallHandler);
    g_handlerReady.store(true, std::memory_order_release);
  }
  Probe probe;
  Probe* const outer = t_probe;
  t_probe = &probe;
  bool readable;
  if (sigsetjmp(probe.resume, 0) == 0) {
    probe.active = 1;
    read();
    probe.active = 0;
    readable = true;
  } else {
    readable = false;
  }
  t_probe = outer;
  return readable;
}

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// The probes read memory the caller does not own on purpose; the
// sanitizers must not take that for a bug of the layer.
#define KVTR_UNINSTRUMENTED __attribute__((no_sanitize("address", "undefined"), noinline))

KVTR_UNINSTRUMENTED void TouchRange(const void* address, size_t bytes) {
  volatile const char* p = static_cast<const char*>(address);
  size_t count = bytes;
  const size_t page = PageSize();
  char sink;
  while (count > page) {
    sink = *p;
    p += page;
    count -= page;
  }
  sink = p[0];
  sink = p[count - 1];
  (void)sink;
}

template <typename Unit>
KVTR_UNINSTRUMENTED void WalkString(const Unit* text, UINT_PTR maxChars) {
  volatile const Unit* p = text;
  for (UINT_PTR i = 0; i < maxChars; ++i) {
    if (p[i] == 0) break;
  }
}

bool RangeReadable(const void* address, size_t bytes) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start + bytes < start) return false;
  return GuardedRead([&] { TouchRange(address, bytes); });
}

template <typename Unit>
bool StringReadable(const Unit* text, UINT_PTR maxChars) {
  return GuardedRead([&] { WalkString(text, maxChars); });
}

// True when every byte of [start, end) lies in a writable mapping.
bool RangeWritable(uintptr_t start, uintptr_t end) {
  int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string maps;
  char chunk[8192];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    maps.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  uintptr_t covered = start;
  size_t pos = 0;
  while (pos < maps.size() && covered < end) {
    size_t eol = maps.find('\n', pos);
    if (eol == std::string::npos) eol = maps.size();
    const char* line = maps.c_str() + pos;
    char* cursor = nullptr;
    uintptr_t low = std::strtoull(line, &cursor, 16);
    uintptr_t high = std::strtoull(cursor + 1, &cursor, 16);
    const bool writable = cursor[1] == 'r' && cursor[2] == 'w';
    pos = eol + 1;
    if (high <= covered) continue;
    if (low > covered || !writable) return false;
    covered = high;
  }
  return covered >= end;
}

}  // namespace

extern "C" {

BOOL IsBadReadPtr(const void* address, UINT_PTR bytes) {
  if (bytes == 0) return FALSE;
  if (address == nullptr) return TRUE;
  return RangeReadable(address, bytes) ? FALSE : TRUE;
}

BOOL IsBadWritePtr(LPVOID address, UINT_PTR bytes) {
  if (bytes == 0) return FALSE;
  if (address == nullptr) return TRUE;
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start + bytes < start) return TRUE;
  return RangeWritable(start, start + bytes) ? FALSE : TRUE;
}

BOOL IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars) {
  if (text == nullptr) return TRUE;
  return StringReadable(text, maxChars) ? FALSE : TRUE;
}

BOOL IsBadStringPtrW(LPCWSTR text, UINT_PTR maxChars) {
  if (text == nullptr) return TRUE;
  return StringReadable(text, maxChars) ? FALSE : TRUE;
}

}  // extern "C"
