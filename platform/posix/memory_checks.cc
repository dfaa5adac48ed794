// POSIX platform layer: memory checks (IsBadReadPtr, IsBadWritePtr,
// IsBadStringPtrA/W), VirtualQuery and the fault guard that guarded regions
// (exceptions.cc) run on.
//
// Reads are probed under a fault guard, as Windows does: a SIGSEGV/SIGBUS
// handler, installed once and chaining to any earlier handler, returns
// control to the probe when the probe's own read faults. That costs no
// kernel round trip, which matters because the checked formatter probes
// every message. Write checks never write: they read the mapping's
// protection from /proc/self/maps, as VirtualQuery does. Every check is
// thread-safe and never crashes. A host that later replaces the handler without chaining to it
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
  // The fault that ended the probe.
  volatile sig_atomic_t signal = 0;
  volatile sig_atomic_t code = 0;
};

// Initial-exec TLS: no lookup call, and safe to read in the signal handler.
__attribute__((tls_model("initial-exec"))) thread_local Probe* t_probe = nullptr;

// The processor faults the guard turns into results.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr size_t kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];
struct sigaction g_previous[kFaultSignalCount];
std::once_flag g_handlerInstalled;
std::atomic<bool> g_handlerReady{false};

void OnFault(int signal, siginfo_t* info, void* context) {
  // Only a fault the processor raised on this thread (not a signal sent by
  // kill()) ends a probe or a guarded region.
  Probe* probe = t_probe;
  if (probe != nullptr && probe->active && info != nullptr && info->si_code > 0) {
    probe->active = 0;
    probe->signal = signal;
    probe->code = info->si_code;
    siglongjmp(probe->resume, 1);
  }
  // Not ours: hand it to whoever handled the signal before.
  size_t slot = 0;
  while (slot + 1 < kFaultSignalCount && kFaultSignals[slot] != signal) ++slot;
  const struct sigaction& previous = g_previous[slot];
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
  for (size_t i = 0; i < kFaultSignalCount; ++i) sigaction(kFaultSignals[i], &action, &g_previous[i]);
}

void EnsureHandler() {
  if (!g_handlerReady.load(std::memory_order_acquire)) {
    std::call_once(g_handlerInstalled, InstallHandler);
    g_handlerReady.store(true, std::memory_order_release);
  }
}

// Runs `read` with faults turned into a false result; `probe` then tells
// which fault it was.
template <typename Read>
bool GuardedRead(Read&& read, Probe& probe) {
  EnsureHandler();
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

template <typename Read>
bool GuardedRead(Read&& read) {
  Probe probe;
  return GuardedRead(read, probe);
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

// One line of /proc/self/maps.
struct Mapping {
  uintptr_t low = 0;
  uintptr_t high = 0;
  bool read = false, write = false, execute = false, shared = false;
  bool fileBacked = false;
};

// Parses the start of one maps line ("low-high rwxp offset dev inode path").
bool ParseMapping(const char* line, size_t length, Mapping& out) {
  const char* const end = line + length;
  const char* p = line;
  auto hex = [&](uintptr_t& value) {
    const char* first = p;
    value = 0;
    while (p < end) {
      const char c = *p;
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) break;
      value = value * 16 + static_cast<uintptr_t>(digit);
      ++p;
    }
    return p > first;
  };
  if (!hex(out.low) || p >= end || *p++ != '-' || !hex(out.high) || end - p < 5 || *p++ != ' ') return false;
  out.read = p[0] == 'r';
  out.write = p[1] == 'w';
  out.execute = p[2] == 'x';
  out.shared = p[3] == 's';
  p += 4;
  // Offset, device and inode, then the path (if any).
  for (int field = 0; field < 3; ++field) {
    while (p < end && *p == ' ') ++p;
    while (p < end && *p != ' ') ++p;
  }
  while (p < end && *p == ' ') ++p;
  out.fileBacked = p < end && *p == '/';
  return out.low < out.high;
}

// Calls `visit` for every mapping in address order until it returns false.
// False when the mapping table cannot be read. Reads in fixed chunks and
// allocates nothing, so it also answers when memory is short.
template <typename Visit>
bool ForEachMapping(Visit&& visit) {
  const kvtr::posix::UniqueFd maps(open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (!maps) return false;
  char chunk[8192];
  char line[256];  // the fields before the path fit; the rest is dropped
  size_t lineLength = 0;
  bool more = true;
  bool readable = true;
  while (more) {
    const ssize_t got = read(maps.get(), chunk, sizeof chunk);
    if (got < 0) {
      readable = false;
      break;
    }
    if (got == 0) break;
    for (ssize_t i = 0; i < got && more; ++i) {
      if (chunk[i] != '\n') {
        if (lineLength < sizeof line) line[lineLength++] = chunk[i];
        continue;
      }
      Mapping mapping;
      if (ParseMapping(line, lineLength, mapping)) more = visit(mapping);
      lineLength = 0;
    }
  }
  return readable;
}

enum class Writability { kWritable, kNotWritable, kUnknown };

// Whether every byte of [start, end) lies in a writable mapping.
Writability RangeWritable(uintptr_t start, uintptr_t end) {
  uintptr_t covered = start;
  bool broken = false;
  const bool read = ForEachMapping([&](const Mapping& mapping) {
    if (mapping.high <= covered) return true;
    if (mapping.low > covered || !mapping.write) {
      broken = true;
      return false;
    }
    covered = mapping.high;
    return covered < end;
  });
  if (!read) return Writability::kUnknown;
  return !broken && covered >= end ? Writability::kWritable : Writability::kNotWritable;
}

DWORD Protection(const Mapping& mapping) {
  if (mapping.execute) {
    if (mapping.write) return PAGE_EXECUTE_READWRITE;
    return mapping.read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
  }
  if (mapping.write) return PAGE_READWRITE;
  return mapping.read ? PAGE_READONLY : PAGE_NOACCESS;
}

// The highest address plus one that user code can map on this kind of
// machine (x86-64 and AArch64 with 47/48-bit user space).
constexpr uintptr_t kUserSpaceEnd = static_cast<uintptr_t>(1) << 47;

}  // namespace

namespace kvtr::posix {

bool RunOnFaultGuard(void (*body)(void*), void* context, int& signal, int& code) noexcept {
  Probe probe;
  if (GuardedRead([&] { body(context); }, probe)) return true;
  signal = probe.signal;
  code = probe.code;
  return false;
}

}  // namespace kvtr::posix

extern "C" {

BOOL IsBadReadPtr(const void* address, UINT_PTR bytes) try {
  if (bytes == 0) return FALSE;
  if (address == nullptr) return TRUE;
  return RangeReadable(address, bytes) ? FALSE : TRUE;
} catch (...) {
  return TRUE;
}

// Answers from the mappings' protection and never writes. When the mapping
// table cannot be read it answers "writable", so that nothing unverified is
// ever taken for code.
BOOL IsBadWritePtr(LPVOID address, UINT_PTR bytes) try {
  if (bytes == 0) return FALSE;
  if (address == nullptr) return TRUE;
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start + bytes < start) return TRUE;
  if (kvtr::posix::InjectedFault("IsBadWritePtr", "memory") != 0) return FALSE;
  return RangeWritable(start, start + bytes) == Writability::kNotWritable ? TRUE : FALSE;
} catch (...) {
  return FALSE;
}

// The region around `address`: committed pages of one mapping (with the
// mapping's protection; a file mapping is MEM_IMAGE when private, MEM_MAPPED
// when shared), or the free address space up to the next mapping.
SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer, SIZE_T length) try {
  if (DWORD fault = kvtr::posix::InjectedFault("VirtualQuery", "memory")) {
    SetLastError(fault);
    return 0;
  }
  if (buffer == nullptr || length < sizeof(MEMORY_BASIC_INFORMATION)) {
    SetLastError(ERROR_BAD_LENGTH);
    return 0;
  }
  const uintptr_t page = reinterpret_cast<uintptr_t>(address) & ~static_cast<uintptr_t>(PageSize() - 1);
  if (page >= kUserSpaceEnd) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  MEMORY_BASIC_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  info.BaseAddress = reinterpret_cast<PVOID>(page);
  info.State = MEM_FREE;
  info.Protect = PAGE_NOACCESS;
  info.RegionSize = kUserSpaceEnd - page;
  const bool read = ForEachMapping([&](const Mapping& mapping) {
    if (mapping.high <= page) return true;
    if (mapping.low > page) {
      info.RegionSize = mapping.low - page;  // free space up to this mapping
      return false;
    }
    info.AllocationBase = reinterpret_cast<PVOID>(mapping.low);
    info.AllocationProtect = Protection(mapping);
    info.Protect = info.AllocationProtect;
    info.State = MEM_COMMIT;
    info.Type = !mapping.fileBacked ? MEM_PRIVATE : mapping.shared ? MEM_MAPPED : MEM_IMAGE;
    info.RegionSize = mapping.high - page;
    return false;
  });
  if (!read) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  std::memcpy(buffer, &info, sizeof info);
  return sizeof info;
} catch (...) {
  return kvtr::posix::FailWithException<SIZE_T>(0);
}

BOOL IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars) try {
  if (text == nullptr) return TRUE;
  return StringReadable(text, maxChars) ? FALSE : TRUE;
} catch (...) {
  return TRUE;
}

BOOL IsBadStringPtrW(LPCWSTR text, UINT_PTR maxChars) try {
  if (text == nullptr) return TRUE;
  return StringReadable(text, maxChars) ? FALSE : TRUE;
} catch (...) {
  return TRUE;
}

}  // extern "C"
