#include "common_utils/text/no_case.h"

#include "common_utils/text/conversions.h"
#include "platform/win32.h"

namespace kvtr::text {
namespace {

int FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int x = FoldAscii(static_cast<unsigned char>(a[i]));
    const int y = FoldAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool EqualNoCase(WStringView a, WStringView b) {
  if (a.size() != b.size()) return false;
  // ASCII names (nearly all) are compared in place; the code page's
  // upper-casing gives the same for them.
  bool ascii = true;
  for (size_t i = 0; i < a.size() && ascii; ++i) {
    if (a[i] >= 0x80 || b[i] >= 0x80) {
      ascii = false;
    } else if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  if (ascii) return true;
  WString x(a), y(b);
  CharUpperBuffW(x.data(), static_cast<DWORD>(x.size()));
  CharUpperBuffW(y.data(), static_cast<DWORD>(y.size()));
  return x == y;
}

bool ContainsNoCase(const WString& needle, const WString& haystack) {
  return ToUpperInCodePage(haystack, -1).find(ToUpperInCodePage(needle, -1)) != WString::npos;
}

}  // namespace kvtr::text
