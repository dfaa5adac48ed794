#include "common_utils/text/windows_1252.h"

namespace kvtr::text {
namespace {

// Bytes 0x80..0x9F in byte order.
constexpr wchar kHighTable[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

}  // namespace

wchar Windows1252ToWide(unsigned char byte) noexcept {
  if (byte >= 0x80 && byte <= 0x9F) return kHighTable[byte - 0x80];
  return static_cast<wchar>(byte);
}

char WideToWindows1252(wchar unit, char fallback) noexcept {
  if (unit < 256) return static_cast<char>(unit);
  for (int i = 0; i < 32; ++i) {
    if (kHighTable[i] == unit) return static_cast<char>(0x80 + i);
  }
  return fallback;
}

void Windows1252ToWide(const char* in, size_t count, wchar* out) noexcept {
  for (size_t i = 0; i < count; ++i) out[i] = Windows1252ToWide(static_cast<unsigned char>(in[i]));
}

void WideToWindows1252(const wchar* in, size_t count, char* out, char fallback) noexcept {
  for (size_t i = 0; i < count; ++i) out[i] = WideToWindows1252(in[i], fallback);
}

}  // namespace kvtr::text
