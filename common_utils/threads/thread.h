// Thread: the base of a named worker thread with a stop event, a start and
// stop protocol and a priority. A derived class implements Run, which runs
// on the worker, watches stopEvent() and returns once it is set.
//
// Start, Stop and SetPriority are called from the controlling thread; the
// stop event is the only signal between it and the worker. A derived class
// stops its worker in its own destructor: by the time ~Thread stops it, the
// derived part that Run uses is gone.
#pragma once

#include <cstdint>
#include <memory>

#include "common_utils/threads/sync_event.h"
#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr::logger {

class Thread {
 public:
  // `name` (may be null) is copied. Priority 0; the stop event is created
  // manual-reset and not set.
  explicit Thread(const char* name);
  // Stop() (waits without limit).
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts a worker. False when one is already started (nothing changes)
  // or the thread cannot be created (reported at level 1; still idle).
  virtual bool Start();
  // Sets the stop event and waits up to `timeoutMs` (-1: without limit)
  // for the worker to finish; one that does not is reported at level 1
  // and abandoned, not ended. Either way the object is idle afterwards.
  // Does nothing on an idle object.
  virtual void Stop(int32_t timeoutMs);
  virtual void Stop();
  // Sets the stop event and returns SetEvent's result without waiting.
  virtual BOOL SignalStop();

  // Stores the priority step and, on a started object, applies it at once:
  // below -2 as THREAD_PRIORITY_IDLE, above 2 as THREAD_PRIORITY_TIME_CRITICAL.
  void SetPriority(int32_t priority);

  // The worker's entry point: registers the worker's name ("Unnamed" for
  // none), runs Run and unregisters it, also when Run throws (the exception
  // goes on). Returns 0; a null argument returns 0 at once.
  static unsigned __stdcall ThreadProc(void* argument);

  HANDLE handle() const noexcept { return handle_.get(); }
  DWORD threadId() const noexcept { return threadId_; }
  const char* name() const noexcept { return name_.get(); }
  int32_t priority() const noexcept { return priority_; }

 protected:
  // The worker's body.
  virtual void Run() = 0;
  SyncEvent& stopEvent() noexcept { return stopEvent_; }

 private:
  int32_t priority_ = 0;
  SyncEvent stopEvent_;
  UniqueKernelHandle handle_;
  DWORD threadId_ = 0;
  std::unique_ptr<char[]> name_;
};

}  // namespace kvtr::logger
