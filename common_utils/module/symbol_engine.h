// The process's symbol engine. At construction it works out the search path
// for debugging symbols and announces it on the debugger output; it keeps
// the places of a symbol service (its entry points, its library, whether it
// was started), which nothing in this library fills: no symbol service is
// ever started here.
#pragma once

#include <memory>

#include "common_utils/threads/critical_section.h"
#include "platform/handle_owners.h"
#include "platform/win32.h"

namespace kvtr::runtime {

// The entry points of a symbol service, by the roles dbghelp gives them.
struct SymbolServiceEntries {
  BOOL(WINAPI* initialize)(HANDLE process, const char* searchPath, BOOL invadeProcess) = nullptr;
  BOOL(WINAPI* cleanup)(HANDLE process) = nullptr;
  DWORD(WINAPI* getOptions)() = nullptr;
  DWORD(WINAPI* setOptions)(DWORD options) = nullptr;
};

class SymbolEngine {
 public:
  static constexpr int kPathBytes = 8192;

  // Fills the path buffer with GetSymbolPath (which writes the debugger
  // output) and opens this process with all access. Never fails: a step of
  // the path that fails is reported and left out, and a process that cannot
  // be opened leaves the handle null. Memory running out raises
  // std::bad_alloc.
  SymbolEngine();
  // Calls the service's clean-up when it was started, closes the process
  // handle, frees the service's library if one was loaded and destroys the
  // lock.
  ~SymbolEngine();
  SymbolEngine(const SymbolEngine&) = delete;
  SymbolEngine& operator=(const SymbolEngine&) = delete;

  // The symbol search path, ';' between its parts: the current directory,
  // the executable's folder, then the values of _NT_SYMBOL_PATH,
  // _NT_ALTERNATE_SYMBOL_PATH and SYSTEMROOT. A part that cannot be had is
  // reported at level 2 through the support code's logging and left out.
  // Writes "Symbols Path: ", the path and "\n" to the debugger output, then
  // copies the path into `buffer`, cut to size - 1 bytes, zero-filled to
  // `size` bytes, and returns `buffer`. Returns null for a null buffer
  // (reported) or a size below 1, leaving the buffer alone. `buffer` serves
  // as scratch space meanwhile. Memory running out raises std::bad_alloc.
  static char* GetSymbolPath(char* buffer, int size);

  const char* symbolPath() const noexcept { return symbolPath_.get(); }
  HANDLE process() const noexcept { return process_.get(); }

 private:
  UniqueKernelHandle process_;
  SymbolServiceEntries entries_;
  bool initialised_ = false;
  std::unique_ptr<char[]> symbolPath_;
  logger::CriticalSection lock_;
  UniqueModule library_;
};

}  // namespace kvtr::runtime
