#include "common_utils/text/conversions.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "common_utils/text/windows_1252.h"
#include "platform/win32.h"

namespace kvtr::text {
namespace {

// Conversions shorter than this go through a temporary buffer and hand an
// exact copy to the output slot; longer ones convert straight into the
// buffer they hand over.
constexpr size_t kTemporaryLimit = 1024;

template <typename Unit>
size_t Length(const Unit* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

template <typename Unit>
Unit* CopyOf(const Unit* text) {
  const size_t n = Length(text) + 1;
  Unit* copy = new Unit[n];
  std::memcpy(copy, text, n * sizeof(Unit));
  return copy;
}

template <typename Unit>
void Wipe(Unit* text) noexcept {
  if (text != nullptr) SecureZeroMemory(text, Length(text) * sizeof(Unit));
}

UINT PlatformCodePage(int codePage) { return codePage == -1 ? CP_ACP : static_cast<UINT>(codePage); }

}  // namespace

bool AnsiCodePageIs1252 = false;

void InitializeAnsiCodePageIs1252() { AnsiCodePageIs1252 = GetACP() == 1252; }

void WipeAndRelease(wchar* text) noexcept {
  Wipe(text);
  delete[] text;
}

void WipeAndRelease(char* text) noexcept {
  Wipe(text);
  delete[] text;
}

NarrowToWideConversion::NarrowToWideConversion(const char* source, bool useBuiltIn1252, wchar** outputSlot) {
  if (source == nullptr) {
    if (outputSlot) *outputSlot = nullptr;
    return;
  }
  const size_t n = std::strlen(source) + 1;
  if (n > kMaxConvertibleLength) {
    if (outputSlot) *outputSlot = nullptr;
    return;
  }
  if (outputSlot != nullptr && n < kTemporaryLimit) {
    wchar temporary[kTemporaryLimit];
    if (useBuiltIn1252) {
      Windows1252ToWide(source, n, temporary);
      *outputSlot = CopyOf(temporary);
    } else if (WidenWithCodePage(temporary, source, static_cast<int>(n), CP_THREAD_ACP) != nullptr) {
      *outputSlot = CopyOf(temporary);
    } else {
      *outputSlot = new wchar[1]{0};
    }
    return;
  }
  auto* buffer = new wchar[n];
  ownsResult_ = true;
  if (useBuiltIn1252) {
    Windows1252ToWide(source, n, buffer);
  } else if (MultiByteToWideChar(CP_THREAD_ACP, 0, source, static_cast<int>(n), buffer, static_cast<int>(n)) == 0) {
    ownsResult_ = false;
    delete[] buffer;
    if (outputSlot) *outputSlot = nullptr;
    return;
  }
  if (outputSlot != nullptr) {
    ownsResult_ = false;
    *outputSlot = buffer;
  } else {
    result_ = buffer;
  }
}

NarrowToWideConversion::~NarrowToWideConversion() {
  if (ownsResult_) WipeAndRelease(result_);
}

WideToNarrowConversion::WideToNarrowConversion(const wchar* source, bool useBuiltIn1252, char** outputSlot) {
  if (source == nullptr) {
    if (outputSlot) *outputSlot = nullptr;
    return;
  }
  const size_t n = Length(source) + 1;
  if (n > kMaxConvertibleLength) {
    if (outputSlot) *outputSlot = nullptr;
    return;
  }
  if (outputSlot != nullptr && n < kTemporaryLimit) {
    char temporary[NarrowBufferBytes(kTemporaryLimit)];
    if (useBuiltIn1252) {
      WideToWindows1252(source, n, temporary);
      *outputSlot = CopyOf(temporary);
    } else if (NarrowWithCodePage(temporary, source, static_cast<int>(NarrowBufferBytes(n)), CP_THREAD_ACP)) {
      *outputSlot = CopyOf(temporary);
    } else {
      *outputSlot = new char[1]{0};
    }
    return;
  }
  char* buffer = nullptr;
  if (useBuiltIn1252) {
    buffer = new char[n];
    WideToWindows1252(source, n, buffer);
  } else {
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, source, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    buffer = new char[static_cast<size_t>(needed > 0 ? needed : 0) + 1];
    if (needed <= 0 ||
        WideCharToMultiByte(CP_THREAD_ACP, 0, source, static_cast<int>(n), buffer, needed + 1, nullptr, nullptr) == 0) {
      delete[] buffer;
      if (outputSlot) *outputSlot = nullptr;
      return;
    }
  }
  if (outputSlot != nullptr) {
    *outputSlot = buffer;
  } else {
    ownsResult_ = true;
    result_ = buffer;
  }
}

WideToNarrowConversion::~WideToNarrowConversion() {
  if (ownsResult_) WipeAndRelease(result_);
}

WString ToWideString(const std::string& source, int codePage) {
  if (source.empty()) return WString();
  const UINT cp = PlatformCodePage(codePage);
  const int length = MultiByteToWideChar(cp, 0, source.data(), static_cast<int>(source.size()), nullptr, 0);
  if (length <= 0) return WString();
  std::unique_ptr<wchar[]> buffer(new wchar[static_cast<size_t>(length) + 1]());
  MultiByteToWideChar(cp, 0, source.data(), static_cast<int>(source.size()), buffer.get(), length);
  buffer[length] = 0;
  return WString(buffer.get());
}

std::string ToNarrowString(const WString& source, int codePage) {
  if (source.empty()) return std::string();
  const UINT cp = PlatformCodePage(codePage);
  const int length =
      WideCharToMultiByte(cp, 0, source.data(), static_cast<int>(source.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(length) + 1]());
  WideCharToMultiByte(cp, 0, source.data(), static_cast<int>(source.size()), buffer.get(), length, nullptr, nullptr);
  buffer[length] = 0;
  return std::string(buffer.get());
}

wchar* WidenWithCodePage(wchar* destination, const char* source, int destinationChars, int codePage) {
  if (destination == nullptr || source == nullptr) return nullptr;
  destination[0] = 0;
  if (MultiByteToWideChar(static_cast<UINT>(codePage), 0, source, -1, destination, destinationChars) == 0) {
    destination[0] = 0;
    return nullptr;
  }
  return destination;
}

char* NarrowWithCodePage(char* destination, const wchar* source, int destinationBytes, int codePage) {
  if (destination == nullptr || source == nullptr) return nullptr;
  destination[0] = 0;
  if (WideCharToMultiByte(static_cast<UINT>(codePage), 0, source, -1, destination, destinationBytes, nullptr,
                          nullptr) == 0) {
    destination[0] = 0;
    return nullptr;
  }
  return destination;
}

bool WidenWithThreadCodePage(const char* source, WString& out) {
  if (source == nullptr) return false;
  const size_t n = std::strlen(source) + 1;
  if (n > kMaxConvertibleLength) return false;
  std::unique_ptr<wchar[]> buffer(new wchar[n]);
  if (WidenWithCodePage(buffer.get(), source, static_cast<int>(n), CP_THREAD_ACP) == nullptr) return false;
  out.assign(buffer.get());
  return true;
}

bool NarrowWithThreadCodePage(const wchar* source, std::string& out) {
  if (source == nullptr) return false;
  const size_t n = Length(source) + 1;
  if (n > kMaxConvertibleLength) return false;
  const size_t bytes = NarrowBufferBytes(n);
  std::unique_ptr<char[]> buffer(new char[bytes]);
  if (NarrowWithCodePage(buffer.get(), source, static_cast<int>(bytes), CP_THREAD_ACP) == nullptr) return false;
  out.assign(buffer.get());
  return true;
}

std::string LocaleNameForCodePage(int codePage) {
  if (codePage == -1) return ".1252";
  std::string digits = std::to_string(codePage);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), ' ');
  std::string name = "." + digits;
  if (name.size() > 14) name.resize(14);  // a 15-byte field with its terminator
  return name;
}

WString ToUpperInCodePage(const WString& source, int codePage) {
  WString copy = source;
  const UINT cp = codePage == -1 ? 1252u : static_cast<UINT>(codePage);
  if (!IsValidCodePage(cp)) {
    throw std::runtime_error("bad locale name " + LocaleNameForCodePage(codePage));
  }
  // The wide character rules of a code-page locale are the system's own
  // Unicode upper-casing, whatever the code page.
  if (!copy.empty()) CharUpperBuffW(copy.data(), static_cast<DWORD>(copy.size()));
  return copy;
}

}  // namespace kvtr::text
