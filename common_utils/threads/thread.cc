#include "common_utils/threads/thread.h"

#include <cerrno>
#include <cstring>

#include "common_utils/report/log_entry_points.h"
#include "common_utils/threads/thread_name_registry.h"

namespace kvtr::logger {
namespace {

std::unique_ptr<char[]> CopyName(const char* name) {
  if (name == nullptr) return nullptr;
  const size_t size = std::strlen(name) + 1;
  std::unique_ptr<char[]> copy(new char[size]);
  std::memcpy(copy.get(), name, size);
  return copy;
}

int SystemPriority(int32_t priority) {
  if (priority < THREAD_PRIORITY_LOWEST) return THREAD_PRIORITY_IDLE;
  if (priority > THREAD_PRIORITY_HIGHEST) return THREAD_PRIORITY_TIME_CRITICAL;
  return priority;
}

}  // namespace

Thread::Thread(const char* name) : stopEvent_(/*manualReset=*/true, /*initiallySet=*/false), name_(CopyName(name)) {}

Thread::~Thread() { Stop(); }

bool Thread::Start() {
  if (handle_) return false;
  stopEvent_.Reset();
  unsigned id = 0;
  const uintptr_t thread = _beginthreadex(nullptr, 0, &Thread::ThreadProc, this, CREATE_SUSPENDED, &id);
  if (thread == 0) {
    const int error = errno;
    format::LogMessageNarrow(1, "Thread::Start() - begin thread call failed, errno=%d", error);
    return false;
  }
  handle_.reset(reinterpret_cast<HANDLE>(thread));
  threadId_ = id;
  if (priority_ != 0) SetPriority(priority_);
  ResumeThread(handle_.get());
  return true;
}

void Thread::Stop(int32_t timeoutMs) {
  if (!handle_) return;
  stopEvent_.Set();
  if (WaitForSingleObject(handle_.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    format::LogMessageNarrow(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms", threadId_,
                             static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle_.get())),
                             static_cast<int64_t>(timeoutMs));
  }
  handle_.reset();
}

void Thread::Stop() { Stop(-1); }

BOOL Thread::SignalStop() { return stopEvent_.Set(); }

void Thread::SetPriority(int32_t priority) {
  priority_ = priority;
  if (handle_) SetThreadPriority(handle_.get(), SystemPriority(priority));
}

unsigned __stdcall Thread::ThreadProc(void* argument) {
  if (argument == nullptr) return 0;
  Thread* const self = static_cast<Thread*>(argument);
  RegisterThreadName(self->name_ != nullptr ? self->name_.get() : "Unnamed");
  struct Unregister {
    ~Unregister() {
      try {
        UnregisterThreadName();
      } catch (...) {
        // Memory ran out as the worker ends: its entry may stay behind.
      }
    }
  } unregister;
  self->Run();
  return 0;
}

}  // namespace kvtr::logger
