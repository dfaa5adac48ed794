// Conversions between narrow (code-page) text and UTF-16, and the one
// case-insensitive comparison other code relies on.
//
// Narrow text is converted either through the platform (MultiByteToWideChar
// and WideCharToMultiByte with the thread's or a given code page) or, when a
// caller asks for it, with the built-in Windows-1252 table. Failures show as
// a null or empty result; nothing is thrown except the locale error of
// ToUpperInCodePage.
#pragma once

#include <string>

#include "platform/wide.h"

namespace kvtr::text {

// True when the process ANSI code page is 1252. Written once while the
// module loads (InitializeAnsiCodePageIs1252) and only read afterwards.
extern bool AnsiCodePageIs1252;
void InitializeAnsiCodePageIs1252();

// Longest narrow source (terminator included) a conversion accepts.
constexpr size_t kMaxConvertibleLength = 0x3FFFFFFF;

// Bytes a narrow buffer needs for `units` UTF-16 units (terminator
// included) in any ANSI code page this library meets: double-byte code
// pages take 2 bytes a unit, UTF-8 up to 3.
constexpr size_t NarrowBufferBytes(size_t units) { return 3 * units; }

// Buffers handed to an output slot belong to the slot's owner, who wipes and
// releases them with these.
void WipeAndRelease(wchar* text) noexcept;
void WipeAndRelease(char* text) noexcept;

// Converts at construction. With an output slot the slot receives the new
// text (null on failure) and the object keeps nothing; without one the
// object owns the result, and wipes and releases it when it ends.
class NarrowToWideConversion {
 public:
  NarrowToWideConversion(const char* source, bool useBuiltIn1252, wchar** outputSlot = nullptr);
  ~NarrowToWideConversion();
  NarrowToWideConversion(const NarrowToWideConversion&) = delete;
  NarrowToWideConversion& operator=(const NarrowToWideConversion&) = delete;

  const wchar* result() const noexcept { return result_; }
  bool ownsResult() const noexcept { return ownsResult_; }

 private:
  bool ownsResult_ = false;
  wchar* result_ = nullptr;
};

class WideToNarrowConversion {
 public:
  WideToNarrowConversion(const wchar* source, bool useBuiltIn1252, char** outputSlot = nullptr);
  ~WideToNarrowConversion();
  WideToNarrowConversion(const WideToNarrowConversion&) = delete;
  WideToNarrowConversion& operator=(const WideToNarrowConversion&) = delete;

  const char* result() const noexcept { return result_; }
  bool ownsResult() const noexcept { return ownsResult_; }

 private:
  bool ownsResult_ = false;
  char* result_ = nullptr;
};

// Code page -1 means the process ANSI code page (CP_ACP). An empty source
// gives an empty result without a platform call.
WString ToWideString(const std::string& source, int codePage);
std::string ToNarrowString(const WString& source, int codePage);

// Converts the whole source, terminator included, into `destination`.
// Returns the destination, or null when a pointer is null or the platform
// fails. The destination holds an empty text when the conversion fails.
wchar* WidenWithCodePage(wchar* destination, const char* source, int destinationChars, int codePage);
char* NarrowWithCodePage(char* destination, const wchar* source, int destinationBytes, int codePage);

// The thread code page conversions in the fixed pattern the WMI and
// registry code uses: null for a null source, a source longer than
// kMaxConvertibleLength or a failed conversion.
bool WidenWithThreadCodePage(const char* source, WString& out);
bool NarrowWithThreadCodePage(const wchar* source, std::string& out);

// The locale name ToUpperInCodePage builds: ".1252" for -1, otherwise
// ".%4d" of the code page (so 437 gives ". 437").
std::string LocaleNameForCodePage(int codePage);

// Upper-cases with the rules of the locale of `codePage` (-1: 1252).
// Throws std::runtime_error when the platform has no such code page.
WString ToUpperInCodePage(const WString& source, int codePage);

}  // namespace kvtr::text
