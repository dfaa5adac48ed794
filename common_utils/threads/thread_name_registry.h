// ThreadNameRegistry: the table of the worker threads that are running, by
// thread id and name. Every worker registers itself when it starts and
// removes itself when it ends (RegisterThreadName, UnregisterThreadName);
// the trace writer lists the table.
//
// One instance is the process's: the first one constructed while there is
// none becomes it, and stops being it when it is destroyed. The module's
// load objects construct it; it must outlive every worker. With no such
// instance the free functions do nothing.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "common_utils/threads/critical_section.h"
#include "platform/win32.h"

namespace kvtr::logger {

class ThreadNameRegistry {
 public:
  // A position in a walk (First, then Next until it answers false).
  struct Cursor {
    std::map<DWORD, std::string>::const_iterator position;
  };

  ThreadNameRegistry();
  ~ThreadNameRegistry();
  ThreadNameRegistry(const ThreadNameRegistry&) = delete;
  ThreadNameRegistry& operator=(const ThreadNameRegistry&) = delete;

  // The process's instance, or null.
  static ThreadNameRegistry* Instance() noexcept;

  // Records `name` (null: empty) for `id`, replacing an earlier name.
  // Ignored once destruction has begun.
  void Register(DWORD id, const char* name);
  // Removes `id`, copying its name to `name`. False (name untouched) when
  // the id is not registered or destruction has begun.
  bool Unregister(DWORD id, std::string& name);

  // A walk in id order. First takes the lock and answers as Next; Next
  // gives the entry under the cursor and advances, or at the end releases
  // the lock and answers false (id and name untouched). The lock is held
  // from First until Next answers false, so every walk must reach the end;
  // the walking thread may register meanwhile (the lock is recursive).
  bool First(Cursor& cursor, DWORD& id, std::string& name);
  bool Next(Cursor& cursor, DWORD& id, std::string& name);

 private:
  std::atomic<bool> live_{true};
  std::map<DWORD, std::string> names_;
  CriticalSection lock_;
};

// On the worker: registers the calling thread as `name` with the process's
// registry and logs it at level 3 as a [DIAG] Register_thread event.
void RegisterThreadName(const char* name);
// On the worker: removes the calling thread from the process's registry
// and, only when it was there, logs a [DIAG] Unregister_thread event.
void UnregisterThreadName();

}  // namespace kvtr::logger
