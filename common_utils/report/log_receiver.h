// The receiver of what the logging entry points hand over: the process's
// diagnostic logger. The first receiver adopted while there is none becomes
// the process's one (the module's logger at load, or a test's own) and
// stays it until it is released.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/wide.h"

namespace kvtr::format {

class LogReceiver {
 public:
  // True when some output takes entries of `level`.
  virtual bool IsLogLevelEnabled(int32_t level) const noexcept = 0;
  // Format (at most 1023 characters) and submit; all but FormatAndSubmitW
  // drop the entry while the receiver is not running.
  virtual void LogFormattedW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                             const wchar* user) noexcept = 0;
  virtual void LogFormattedA(int32_t level, const char* format, va_list args, int32_t eventId,
                             const char* user) noexcept = 0;
  virtual void LogText(int32_t level, int32_t eventId, int32_t threadId, const wchar* text,
                       const wchar* user) noexcept = 0;
  virtual void FormatAndSubmitW(int32_t level, const wchar* format, va_list args, int32_t eventId,
                                const wchar* user) noexcept = 0;

 protected:
  ~LogReceiver() = default;
};

// Makes `receiver` the process's receiver when there is none; true when it
// now is.
bool AdoptLogReceiver(LogReceiver* receiver) noexcept;
// Ends `receiver`'s term when it is the process's receiver. Once this
// returns, no call into it is running or will start.
void ReleaseLogReceiver(LogReceiver* receiver) noexcept;

// Runs call(receiver) with the process's receiver, under a shared hold
// that keeps it from being released meanwhile. Nothing happens without a
// receiver, or when the calling thread is already inside a call (what a
// receiver logs while it receives is dropped). False when nothing ran.
template <typename Call>
bool WithLogReceiver(Call&& call) noexcept;

namespace detail {
LogReceiver* EnterReceiver() noexcept;  // null: nothing entered
void LeaveReceiver() noexcept;
}  // namespace detail

template <typename Call>
bool WithLogReceiver(Call&& call) noexcept {
  LogReceiver* const receiver = detail::EnterReceiver();
  if (receiver == nullptr) return false;
  call(*receiver);
  detail::LeaveReceiver();
  return true;
}

}  // namespace kvtr::format
