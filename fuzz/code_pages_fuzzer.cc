// The code-page conversions. The first byte chooses the code page and the
// flags; the rest is converted both ways, as bytes and as UTF-16LE units.
// Besides sanitizer findings, what must hold:
//   - a measuring call gives the size the converting call writes, a buffer
//     one smaller fails with ERROR_INSUFFICIENT_BUFFER, and nothing is
//     written past a buffer (each is exactly its size);
//   - bytes of 1252 and 28591 (all of them), of 20127 (below 0x80) and
//     valid UTF-8 come back unchanged from UTF-16;
//   - UTF-16 text without lone surrogates comes back unchanged from UTF-8;
//     with one, the strict conversion refuses it;
//   - a NUL-terminated call (-1) converts the terminator too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_prefix.h"
#include "platform/win32.h"

using kvtr::wchar;

namespace {

constexpr UINT kCodePages[] = {CP_UTF8, 1252, 28591, 20127, CP_ACP, CP_THREAD_ACP};

std::vector<wchar> ToWide(UINT codePage, DWORD flags, const char* bytes, int length) {
  const int needed = MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
  if (needed <= 0) return {};
  std::vector<wchar> out(static_cast<size_t>(needed));
  if (MultiByteToWideChar(codePage, flags, bytes, length, out.data(), needed) != needed) {
    kvtr::fuzz::Fail("MultiByteToWideChar writes another size than it measured");
  }
  if (needed > 1) {
    std::vector<wchar> small(static_cast<size_t>(needed - 1));
    SetLastError(0);
    if (MultiByteToWideChar(codePage, flags, bytes, length, small.data(), needed - 1) != 0 ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      kvtr::fuzz::Fail("MultiByteToWideChar into too small a buffer");
    }
  }
  return out;
}

std::vector<char> ToNarrow(UINT codePage, DWORD flags, const wchar* units, int length, BOOL* usedDefault) {
  const int needed = WideCharToMultiByte(codePage, flags, units, length, nullptr, 0, nullptr, usedDefault);
  if (needed <= 0) return {};
  std::vector<char> out(static_cast<size_t>(needed));
  if (WideCharToMultiByte(codePage, flags, units, length, out.data(), needed, nullptr, usedDefault) != needed) {
    kvtr::fuzz::Fail("WideCharToMultiByte writes another size than it measured");
  }
  if (needed > 1) {
    std::vector<char> small(static_cast<size_t>(needed - 1));
    SetLastError(0);
    if (WideCharToMultiByte(codePage, flags, units, length, small.data(), needed - 1, nullptr, usedDefault) != 0 ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      kvtr::fuzz::Fail("WideCharToMultiByte into too small a buffer");
    }
  }
  return out;
}

bool HasLoneSurrogate(const std::vector<wchar>& units) {
  for (size_t i = 0; i < units.size(); ++i) {
    const wchar c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvtr::fuzz::UseFreshPrefix();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 1 << 16) return 0;
  const UINT codePage = kCodePages[data[0] % std::size(kCodePages)];
  const bool strict = (data[0] & 0x80) != 0;
  KvtrEmu_SetAnsiCodePage((data[0] & 0x40) != 0 ? 1252 : CP_UTF8);
  const UINT resolved = codePage == CP_ACP || codePage == CP_THREAD_ACP ? GetACP() : codePage;
  const char* const bytes = reinterpret_cast<const char*>(data + 1);
  const int length = static_cast<int>(size - 1);

  // Bytes to UTF-16 and back.
  const std::vector<wchar> wide = ToWide(codePage, strict ? MB_ERR_INVALID_CHARS : 0, bytes, length);
  const bool exact = resolved == 1252 || resolved == 28591 ||
                     (resolved == 20127 && std::all_of(bytes, bytes + length, [](char c) { return c >= 0; })) ||
                     (resolved == CP_UTF8 && strict);
  if (exact && !wide.empty()) {
    const std::vector<char> back = ToNarrow(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr);
    if (back != std::vector<char>(bytes, bytes + length)) kvtr::fuzz::Fail("bytes changed through UTF-16");
  }
  if (wide.empty() && !(resolved == CP_UTF8 && strict) && !(resolved == 20127 && strict)) {
    kvtr::fuzz::Fail("a lenient conversion failed");
  }

  // The same bytes NUL-terminated: the terminator is converted too.
  std::vector<char> terminated(bytes, bytes + length);
  std::replace(terminated.begin(), terminated.end(), '\0', 'z');
  terminated.push_back(0);
  const std::vector<wchar> wideTerminated = ToWide(codePage, 0, terminated.data(), -1);
  if (wideTerminated.empty() || wideTerminated.back() != 0) kvtr::fuzz::Fail("the terminator was not converted");

  // UTF-16 units to bytes and back.
  std::vector<wchar> units(static_cast<size_t>(length) / 2);
  if (units.empty()) return 0;
  std::memcpy(units.data(), bytes, units.size() * sizeof(wchar));
  const bool lone = HasLoneSurrogate(units);
  const int unitCount = static_cast<int>(units.size());
  if (resolved == CP_UTF8) {
    const std::vector<char> utf8 = ToNarrow(codePage, strict ? WC_ERR_INVALID_CHARS : 0, units.data(), unitCount,
                                            nullptr);
    if (utf8.empty() != (strict && lone)) kvtr::fuzz::Fail("strict UTF-8 refuses exactly lone surrogates");
    if (!utf8.empty()) {
      const std::vector<wchar> back = ToWide(codePage, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()));
      if (!lone && back != units) kvtr::fuzz::Fail("UTF-16 text changed through UTF-8");
      if (back.size() != units.size()) kvtr::fuzz::Fail("a lone surrogate is not one replacement character");
    }
  } else {
    BOOL usedDefault = FALSE;
    const std::vector<char> narrow = ToNarrow(codePage, 0, units.data(), unitCount, &usedDefault);
    if (narrow.size() != units.size()) kvtr::fuzz::Fail("a single-byte code page gave another length");
    const std::vector<wchar> back = ToWide(codePage, 0, narrow.data(), static_cast<int>(narrow.size()));
    if (!usedDefault && back != units) kvtr::fuzz::Fail("UTF-16 text changed through a single-byte code page");
  }
  return 0;
}
