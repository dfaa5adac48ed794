#include "common_utils/threads/thread_name_registry.h"

#include "common_utils/report/log_entry_points.h"
#include "common_utils/text/conversions.h"

namespace kvtr::logger {
namespace {

std::atomic<ThreadNameRegistry*> g_instance{nullptr};

// A name as wide text, converted from the ANSI code page.
WString WideName(const std::string& name) { return text::ToWideString(name, -1); }

}  // namespace

ThreadNameRegistry::ThreadNameRegistry() {
  ThreadNameRegistry* none = nullptr;
  g_instance.compare_exchange_strong(none, this);
}

ThreadNameRegistry::~ThreadNameRegistry() {
  live_ = false;
  ThreadNameRegistry* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
}

ThreadNameRegistry* ThreadNameRegistry::Instance() noexcept { return g_instance.load(); }

void ThreadNameRegistry::Register(DWORD id, const char* name) {
  if (!live_) return;
  CriticalSectionLock hold(lock_);
  names_[id] = name != nullptr ? name : "";
}

bool ThreadNameRegistry::Unregister(DWORD id, std::string& name) {
  if (!live_) return false;
  CriticalSectionLock hold(lock_);
  auto found = names_.find(id);
  if (found == names_.end()) return false;
  name = found->second;
  names_.erase(found);
  return true;
}

bool ThreadNameRegistry::First(Cursor& cursor, DWORD& id, std::string& name) {
  lock_.Lock();
  cursor.position = names_.begin();
  return Next(cursor, id, name);
}

bool ThreadNameRegistry::Next(Cursor& cursor, DWORD& id, std::string& name) {
  if (cursor.position == names_.end()) {
    lock_.Unlock();
    return false;
  }
  try {
    name = cursor.position->second;
  } catch (...) {
    lock_.Unlock();  // the walk ends here; the caller gets the exception
    throw;
  }
  id = cursor.position->first;
  ++cursor.position;
  return true;
}

void RegisterThreadName(const char* name) {
  ThreadNameRegistry* registry = ThreadNameRegistry::Instance();
  if (registry == nullptr) return;
  const DWORD id = GetCurrentThreadId();
  registry->Register(id, name);
  const WString wide = WideName(name != nullptr ? name : "");
  format::LogMessage(3, W("[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\""), id, wide.c_str());
}

void UnregisterThreadName() {
  ThreadNameRegistry* registry = ThreadNameRegistry::Instance();
  if (registry == nullptr) return;
  const DWORD id = GetCurrentThreadId();
  std::string name;
  if (!registry->Unregister(id, name)) return;
  const WString wide = WideName(name);
  format::LogMessage(3, W("[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"%s\""), id, wide.c_str());
}

}  // namespace kvtr::logger
