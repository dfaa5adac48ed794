#include "common_utils/module/module_objects.h"

#include "common_utils/text/conversions.h"

namespace kvtr::runtime {
namespace {

class BadAllocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

// Sets the load-time code page choice where the table puts it.
struct AnsiCodePageChoice {
  AnsiCodePageChoice() { text::InitializeAnsiCodePageIs1252(); }
};

}  // namespace

void ThrowBadAllocHandler() { throw BadAllocation(); }

NewHandlerHook::~NewHandlerHook() {
  if (std::get_new_handler() != &ThrowBadAllocHandler) return;
  HMODULE owner = nullptr;
  const bool loaded =
      previous_ == nullptr ||
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(previous_)), &owner);
  std::set_new_handler(loaded ? previous_ : nullptr);
}

// Definitions in one translation unit are built in the order they stand
// and destroyed in reverse.
NewHandlerHook TheNewHandlerHook;
EnvironmentTraceReport TheEnvironmentTraceReport;
logger::DebugLogger TheDebugLogger(&TheEnvironmentTraceReport);
logger::ThreadNameRegistry TheThreadNameRegistry;
AnsiCodePageChoice TheAnsiCodePageChoice;
text::MimeCharsetMap TheMimeCharsetMap;
logger::CriticalSection TheModuleLock;
SymbolEngine TheSymbolEngine;

}  // namespace kvtr::runtime

#ifdef _WIN32
// The entry point does nothing of its own: the objects above are built
// before it is called for process attach and destroyed after it returns
// for process detach.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
