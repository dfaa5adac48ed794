// POSIX platform layer: the insert and escape processing of FormatMessage
// for a message definition given as text (FORMAT_MESSAGE_FROM_STRING).
#pragma once

#include <cstdarg>
#include <vector>

#include "win32_types.h"
#include "../wide.h"

namespace kvtr::posix {

// The arguments of the inserts: an array of pointer-sized values, or a
// va_list read a pointer-sized value at a time as the inserts ask for them.
class MessageArguments {
 public:
  MessageArguments(const ULONG_PTR* array, va_list* list) : array_(array), list_(list) {}
  bool present() const { return array_ != nullptr || list_ != nullptr; }
  bool fromList() const { return list_ != nullptr; }
  // Argument `number` (1 = the first); 0: the one after the last taken.
  ULONG_PTR Get(int number);
  // Windows drops an argument after a width or precision taken from a
  // va_list; the formatting copies that.
  void ForgetLast() {
    if (list_ != nullptr && last_ > 0) --last_;
  }

 private:
  const ULONG_PTR* array_;
  va_list* list_;
  std::vector<ULONG_PTR> read_;  // from the va_list, in order
  int last_ = 0;                 // the highest argument number taken (read, for a va_list)
};

// Formats `definition` as FormatMessage does: inserts %1 to %99 with an
// optional !printf format! (unless FORMAT_MESSAGE_IGNORE_INSERTS, which
// keeps them as written), the escapes %0 (end), %n (CR LF), %r, %t, and
// %% %. %! %space for the character; a line break in the text becomes CR LF,
// or a space when the flags' low byte is not 0. `wideCaller` tells how
// "s" and "c" take their arguments (FormatMessageW: wide). False with the
// Win32 error in `error` (ERROR_INVALID_PARAMETER for a lone "%" or inserts
// without arguments).
bool FormatMessageText(bool wideCaller, DWORD flags, WStringView definition, MessageArguments& arguments,
                       WString& out, DWORD& error);

}  // namespace kvtr::posix
