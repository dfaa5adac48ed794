// The module's process-wide objects, built in this order when kvtr.dll /
// libkvtr.so loads and destroyed in the reverse order when it unloads:
// the new-handler hook, the environment report of its trace files,
// TheDebugLogger (idle: nothing here starts it), the
// thread-name registry, the AnsiCodePageIs1252 choice, the MIME charset
// map, the module lock and the symbol engine.
#pragma once

#include <new>

#include "common_utils/logger/debug_logger.h"
#include "common_utils/mime/mime_charset_map.h"
#include "common_utils/module/environment_trace_report.h"
#include "common_utils/module/symbol_engine.h"
#include "common_utils/threads/critical_section.h"
#include "common_utils/threads/thread_name_registry.h"

namespace kvtr::runtime {

// Raises the standard allocation exception with the text "bad allocation";
// the process's new handler while the module is loaded.
[[noreturn]] void ThrowBadAllocHandler();

// Installs ThrowBadAllocHandler for its lifetime. At the end it puts the
// handler that was there back, but only while the current one is still its
// own (another module may have put its own in since, and restores what it
// saved), and only when that handler's code is still loaded: a module
// loaded before this one may have gone first. Otherwise there is none.
class NewHandlerHook {
 public:
  NewHandlerHook() : previous_(std::set_new_handler(&ThrowBadAllocHandler)) {}
  ~NewHandlerHook();
  NewHandlerHook(const NewHandlerHook&) = delete;
  NewHandlerHook& operator=(const NewHandlerHook&) = delete;

 private:
  std::new_handler previous_;
};

extern EnvironmentTraceReport TheEnvironmentTraceReport;
extern logger::DebugLogger TheDebugLogger;
extern logger::ThreadNameRegistry TheThreadNameRegistry;
extern text::MimeCharsetMap TheMimeCharsetMap;
extern logger::CriticalSection TheModuleLock;
extern SymbolEngine TheSymbolEngine;

}  // namespace kvtr::runtime
