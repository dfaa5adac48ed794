// UTF-16 text on every platform: WCHAR is wchar_t on Windows and char16_t
// elsewhere, so library code never uses wchar_t, std::wstring or the C
// library's wide functions directly. W("text") makes a WCHAR literal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#ifdef _WIN32
#define KVTR_WIDEN2(x) L##x
#else
#define KVTR_WIDEN2(x) u##x
#endif
#define KVTR_WIDEN(x) KVTR_WIDEN2(x)
#define W(text) KVTR_WIDEN(text)

namespace kvtr {

#ifdef _WIN32
using wchar = wchar_t;
#else
using wchar = char16_t;
#endif
static_assert(sizeof(wchar) == 2, "WCHAR must be a 16-bit unit");

using WString = std::basic_string<wchar>;
using WStringView = std::basic_string_view<wchar>;

// Length of a zero-terminated wide text; 0 for null.
inline size_t WideLength(const wchar* text) noexcept {
  if (text == nullptr) return 0;
  const wchar* p = text;
  while (*p != 0) ++p;
  return static_cast<size_t>(p - text);
}

// ASCII text as wide text (for literals built at run time, tests, names).
inline WString WidenAscii(std::string_view text) {
  WString out;
  out.reserve(text.size());
  for (unsigned char c : text) out.push_back(static_cast<wchar>(c));
  return out;
}

// Wide text whose units are all below 0x80 as narrow text; other units
// become '?'. For diagnostics and tests, never for user data.
inline std::string NarrowAscii(WStringView text) {
  std::string out;
  out.reserve(text.size());
  for (wchar c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Writes the UTF-8 bytes of one code point (up to 0x10FFFF; a surrogate's
// value gives its three bytes, which the callers that keep lone surrogates
// rely on) to `out`, which has room for 4, and returns how many it wrote.
inline size_t EncodeUtf8(uint32_t code, char* out) noexcept {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

// Appends the UTF-8 bytes of one code point (as EncodeUtf8).
inline void AppendUtf8(std::string& out, uint32_t code) {
  char bytes[4];
  out.append(bytes, EncodeUtf8(code, bytes));
}

}  // namespace kvtr
