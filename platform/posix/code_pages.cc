// POSIX platform layer: code pages (GetACP, MultiByteToWideChar,
// WideCharToMultiByte).
//
// CP_ACP and CP_THREAD_ACP are one configurable code page: UTF-8 (65001) by
// default, 1252 when the emulation control or KVTR_ACP selects it. Served
// code pages: 65001, 1252, 28591 (ISO 8859-1) and 20127 (US-ASCII). There
// are no best-fit mappings: a character a code page lacks becomes the
// default character.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulation.h"
#include "layer.h"
#include "win32_api.h"

namespace {

constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// Windows' cp1252 table for 0x80..0x9F; the five bytes the standard leaves
// open map to the control code point of the same value, as on Windows.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

UINT InitialAnsiCodePage() {
  if (const char* selected = std::getenv("KVTR_ACP")) {
    UINT cp = static_cast<UINT>(std::strtoul(selected, nullptr, 10));
    if (cp == 1252 || cp == 65001 || cp == 28591 || cp == 20127) return cp;
  }
  return CP_UTF8;
}

std::atomic<UINT>& AnsiCodePage() {
  static std::atomic<UINT> codePage{InitialAnsiCodePage()};
  return codePage;
}

UINT Resolve(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return AnsiCodePage().load();
  return codePage;
}

bool IsServed(UINT codePage) {
  return codePage == CP_UTF8 || codePage == 1252 || codePage == 28591 || codePage == 20127;
}

// Decodes bytes to UTF-16. Returns false on an invalid sequence when strict.
bool Decode(UINT codePage, const unsigned char* in, size_t length, bool strict, kvtr::WString& out) {
  out.clear();
  out.reserve(length);
  if (codePage != CP_UTF8) {
    for (size_t i = 0; i < length; ++i) {
      unsigned char b = in[i];
      if (codePage == 20127 && b >= 0x80) {
        if (strict) return false;
        out.push_back(0xFFFD);
      } else if (codePage == 1252 && b >= 0x80 && b <= 0x9F) {
        out.push_back(kCp1252High[b - 0x80]);
      } else {
        out.push_back(b);
      }
    }
    return true;
  }
  size_t i = 0;
  while (i < length) {
    unsigned char b = in[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need = 0;
    uint32_t cp = 0, min = 0;
    if (b >= 0xC2 && b <= 0xDF) need = 1, cp = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) need = 2, cp = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) need = 3, cp = b & 0x07, min = 0x10000;
    size_t j = i + 1;
    bool ok = need > 0;
    for (int k = 0; ok && k < need; ++k, ++j) {
      if (j >= length || (in[j] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (in[j] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      if (strict) return false;
      out.push_back(0xFFFD);
      // Skip the lead byte and any continuation bytes that belonged to it.
      ++i;
      while (i < length && (in[i] & 0xC0) == 0x80 && i < j) ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<kvtr::wchar>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<kvtr::wchar>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<kvtr::wchar>(cp));
    }
    i = j;
  }
  return true;
}

int EncodeSingleByte(UINT codePage, kvtr::wchar c) {
  if (codePage == 20127) return c < 0x80 ? c : -1;
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  if (codePage == 28591) return c <= 0xFF ? c : -1;
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return 0x80 + i;
  }
  return -1;
}

struct BestFit {
  uint16_t character;
  uint8_t byte;
};
constexpr BestFit kBestFit1252[] = {
#include "bestfit_1252.inc"
};

// The byte Windows writes in code page 1252 for a character it lacks, or -1.
int BestFit1252(kvtr::wchar c) {
  const auto* end = kBestFit1252 + sizeof kBestFit1252 / sizeof kBestFit1252[0];
  const auto* found =
      std::lower_bound(kBestFit1252, end, c, [](const BestFit& entry, kvtr::wchar value) { return entry.character < value; });
  return found != end && found->character == c ? found->byte : -1;
}

// Encodes UTF-16. Returns false on an unpaired surrogate (UTF-8, strict) or
// an unmappable character (strict single-byte). Code page 1252 writes a
// character it lacks as its best fit ("A" for "Ā") when `bestFit`.
bool Encode(UINT codePage, const kvtr::wchar* in, size_t length, bool strict, char defaultChar,
            bool& usedDefault, std::string& out, bool bestFit = false) {
  out.clear();
  usedDefault = false;
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = in[i];
    if (codePage != CP_UTF8) {
      int b = EncodeSingleByte(codePage, static_cast<kvtr::wchar>(c));
      if (b < 0 && bestFit && codePage == 1252) b = BestFit1252(static_cast<kvtr::wchar>(c));
      if (b < 0) {
        if (strict) return false;
        usedDefault = true;
        out.push_back(defaultChar);
      } else {
        out.push_back(static_cast<char>(b));
      }
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) return false;
      c = 0xFFFD;
    }
    kvtr::AppendUtf8(out, c);
  }
  return true;
}

// Copies a converted text out with Windows' size rules: a zero capacity asks
// for the size; too little room fails with ERROR_INSUFFICIENT_BUFFER after
// filling what fits.
template <typename Unit>
int CopyOut(const Unit* text, size_t count, Unit* dest, int capacity) {
  if (capacity == 0) return static_cast<int>(count);
  if (count > static_cast<size_t>(capacity)) {
    std::memcpy(dest, text, static_cast<size_t>(capacity) * sizeof(Unit));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dest, text, count * sizeof(Unit));
  return static_cast<int>(count);
}

}  // namespace

namespace kvtr::posix {

WString AnsiToWide(const char* text) {
  WString out;
  if (text == nullptr) return out;
  Decode(Resolve(CP_ACP), reinterpret_cast<const unsigned char*>(text), std::strlen(text), false, out);
  return out;
}

std::string WideToAnsi(WStringView text) {
  std::string out;
  bool usedDefault = false;
  Encode(Resolve(CP_ACP), text.data(), text.size(), false, '?', usedDefault, out);
  return out;
}

std::string Utf16ToUtf8(WStringView text) {
  std::string out;
  bool usedDefault = false;
  Encode(CP_UTF8, text.data(), text.size(), false, '?', usedDefault, out);
  return out;
}

WString Utf8ToUtf16(std::string_view text) {
  WString out;
  Decode(CP_UTF8, reinterpret_cast<const unsigned char*>(text.data()), text.size(), false, out);
  return out;
}

void CodePagesResetControls() { AnsiCodePage().store(InitialAnsiCodePage()); }

}  // namespace kvtr::posix

extern "C" {

UINT GetACP(void) { return AnsiCodePage().load(); }

BOOL IsValidCodePage(UINT codePage) try {
  if (kvtr::posix::InjectedFault("IsValidCodePage", "codepages") != 0) return FALSE;
  return codePage != CP_ACP && codePage != CP_THREAD_ACP && IsServed(codePage) ? TRUE : FALSE;
} catch (...) {
  return FALSE;
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length) try {
  if (text == nullptr) return 0;
  for (DWORD i = 0; i < length; ++i) text[i] = kvtr::posix::FoldCase(text[i]);
  return length;
} catch (...) {
  return 0;
}

BOOL KvtrEmu_SetAnsiCodePage(UINT codePage) try {
  if (codePage != CP_UTF8 && codePage != 1252 && codePage != 28591 && codePage != 20127) return FALSE;
  AnsiCodePage().store(codePage);
  return TRUE;
} catch (...) {
  return FALSE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceBytes, LPWSTR dest, int destChars) try {
  if (DWORD fault = kvtr::posix::InjectedFault("MultiByteToWideChar", "codepages")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr || sourceBytes == 0 || sourceBytes < -1 || destChars < 0 ||
      (dest == nullptr && destChars != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const UINT cp = Resolve(codePage);
  if (!IsServed(cp)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | 0x2 | 0x4);
  if (flags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t length = sourceBytes == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceBytes);
  kvtr::WString wide;
  if (!Decode(cp, reinterpret_cast<const unsigned char*>(source), length, (flags & MB_ERR_INVALID_CHARS) != 0,
              wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return CopyOut<WCHAR>(wide.data(), wide.size(), dest, destChars);
} catch (...) {
  return kvtr::posix::FailWithException<int>(0);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceChars, LPSTR dest, int destBytes,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar) try {
  if (DWORD fault = kvtr::posix::InjectedFault("WideCharToMultiByte", "codepages")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr || sourceChars == 0 || sourceChars < -1 || destBytes < 0 ||
      (dest == nullptr && destBytes != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const UINT cp = Resolve(codePage);
  if (!IsServed(cp)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cp == CP_UTF8) {
    if (defaultChar != nullptr || usedDefaultChar != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  }
  size_t length = sourceChars == -1 ? kvtr::WideLength(source) + 1 : static_cast<size_t>(sourceChars);
  std::string narrow;
  bool usedDefault = false;
  const bool strict = cp == CP_UTF8 && (flags & WC_ERR_INVALID_CHARS) != 0;
  const bool bestFit = (flags & WC_NO_BEST_FIT_CHARS) == 0;
  if (!Encode(cp, source, length, strict, defaultChar ? *defaultChar : '?', usedDefault, narrow, bestFit)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  return CopyOut<char>(narrow.data(), narrow.size(), dest, destBytes);
} catch (...) {
  return kvtr::posix::FailWithException<int>(0);
}

}  // extern "C"

extern "C" {

// Windows weighs statistics over the bytes; the layer answers the one part
// that can be stated exactly: the units are well-formed UTF-16 (every
// surrogate paired) and hold none of the characters that Windows' test
// for illegal characters refuses (U+0000, the packed CR LF U+0A0D, the
// reversed mark U+FFFE, U+FFFF). `result`, when given, is set to 0: the
// single tests are not reported one by one.
BOOL IsTextUnicode(const VOID* buffer, int size, LPINT result) {
  if (result != nullptr) *result = 0;
  if (buffer == nullptr || size < 2 || size % 2 != 0) return FALSE;
  const WCHAR* const units = static_cast<const WCHAR*>(buffer);
  const int count = size / 2;
  for (int i = 0; i < count; ++i) {
    const WCHAR unit = units[i];
    if (unit == 0 || unit == 0x0A0D || unit == 0xFFFE || unit == 0xFFFF) return FALSE;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return FALSE;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return FALSE;
    }
  }
  return TRUE;
}

}  // extern "C"
