// POSIX platform layer: the debugger output (OutputDebugStringA).
//
// There is no debugger to catch the text, so each call appends it, as given,
// to the file $KVTR_DEBUG_OUTPUT names (a host path), else to
// debug-output.log in the prefix. The file is opened for each call with
// O_APPEND and the text goes out in one write, so the texts of several
// threads and processes follow one another whole. Nothing is reported and
// the last error is kept: OutputDebugString has no failure to give.
// No product headers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "file_io.h"
#include "layer.h"
#include "win32_api.h"

namespace {

std::string DebugOutputFile() {
  if (const char* chosen = std::getenv("KVTR_DEBUG_OUTPUT"); chosen != nullptr && *chosen != 0) return chosen;
  return kvtr::posix::PrefixDirectory() + "/debug-output.log";
}

void Append(const char* text, size_t length) {
  const kvtr::posix::UniqueFd file(open(DebugOutputFile().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!file) return;
  // A regular file takes the whole text in one write.
  kvtr::posix::WriteAll(file.get(), std::string_view(text, length));
}

}  // namespace

extern "C" {

void OutputDebugStringA(LPCSTR text) try {
  const DWORD lastError = GetLastError();
  const int savedErrno = errno;
  // An injected fault loses the text, as a debugger that is not listening does.
  if (kvtr::posix::InjectedFault("OutputDebugStringA", "debug") == 0 && text != nullptr && text[0] != 0) {
    Append(text, std::strlen(text));
  }
  errno = savedErrno;
  SetLastError(lastError);
} catch (...) {
}

}  // extern "C"
