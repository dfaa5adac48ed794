#include "common_utils/text/qel_string.h"

#include <cstring>

#ifdef _WIN32
#include <cwctype>
#endif

#include "common_utils/format/bounded_format.h"
#include "common_utils/runtime/guarded_region.h"
#include "common_utils/text/conversions.h"
#include "platform/win32.h"

namespace qel {

using kvtr::wchar;
using kvtr::WideLength;

namespace {

// A new buffer holding `units` units of `source` and a terminator.
wchar* CopyOf(const wchar* source, size_t units) {
  wchar* copy = new wchar[units + 1];
  std::memcpy(copy, source, units * sizeof(wchar));
  copy[units] = 0;
  return copy;
}

void WipeAndRelease(wchar* text, size_t units) noexcept {
  if (text == nullptr) return;
  SecureZeroMemory(text, units * sizeof(wchar));
  delete[] text;
}

// A narrow copy is wiped over its length; its terminator is zero already.
void WipeAndRelease(char*& text) noexcept {
  if (text == nullptr) return;
  SecureZeroMemory(text, std::strlen(text));
  delete[] text;
  text = nullptr;
}

// The temporary buffer of a formatting call: zero-filled when obtained,
// wiped over its whole capacity when released.
template <typename Unit>
class ScratchBuffer {
 public:
  explicit ScratchBuffer(size_t units) : units_(units), buffer_(new Unit[units]()) {}
  ~ScratchBuffer() {
    SecureZeroMemory(buffer_, units_ * sizeof(Unit));
    delete[] buffer_;
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  Unit* get() const noexcept { return buffer_; }

 private:
  size_t units_;
  Unit* buffer_;
};

// White space as the C runtime sees it. On POSIX the C library's answer
// depends on the process locale, so the Unicode White_Space characters of
// the BMP stand in for it there.
bool IsWhiteSpace(wchar c) noexcept {
#ifdef _WIN32
  return std::iswspace(static_cast<std::wint_t>(c)) != 0;
#else
  switch (c) {
    case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D: case 0x0020:
    case 0x0085: case 0x00A0: case 0x1680: case 0x2028: case 0x2029: case 0x202F:
    case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
#endif
}

}  // namespace

// ---- the record ----

QELString::StringData::~StringData() {
  ReleaseNarrow();
  ReleaseWide();
}

void QELString::StringData::ReleaseNarrow() noexcept {
  WipeAndRelease(narrowThread);
  WipeAndRelease(narrow1252);
  WipeAndRelease(narrowSpare);
}

void QELString::StringData::ReleaseWide() noexcept {
  WipeAndRelease(wide, wideUnits);
  wide = nullptr;
  wideUnits = 0;
}

void QELString::StringData::ReplaceWide(wchar* text, size_t units) noexcept {
  ReleaseNarrow();
  ReleaseWide();
  wide = text;
  wideUnits = text != nullptr ? units : 0;
}

const char* QELString::StringData::Narrow(bool useBuiltIn1252) {
  if (wide == nullptr) return nullptr;
  char*& slot = useBuiltIn1252 ? narrow1252 : narrowThread;
  if (slot != nullptr) return slot;
  const kvtr::text::WideToNarrowConversion converted(wide, useBuiltIn1252);
  const char* text = converted.result() != nullptr ? converted.result() : "";
  const size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  slot = copy;
  return copy;
}

// ---- construction ----

QELString::QELString() : data_(std::make_unique<StringData>()) {}

QELString::QELString(const wchar* text) : data_(std::make_unique<StringData>()) {
  if (text == nullptr) return;
  const size_t length = WideLength(text);
  data_->ReplaceWide(CopyOf(text, length), length + 1);
}

QELString::QELString(const char* text, bool useBuiltIn1252) : data_(std::make_unique<StringData>()) {
  wchar* wide = nullptr;
  { const kvtr::text::NarrowToWideConversion convert(text, useBuiltIn1252, &wide); }
  data_->ReplaceWide(wide, WideLength(wide) + 1);
}

QELString::~QELString() = default;

// ---- assignment ----
// The new text is made before the old one is released, so that a source
// inside this string's own text (s.Assign(s.CStr() + 1)) stays readable.

void QELString::Assign(const wchar* text) {
  auto fresh = std::make_unique<StringData>();
  if (text != nullptr) {
    const size_t length = WideLength(text);
    fresh->ReplaceWide(CopyOf(text, length), length + 1);
  }
  data_ = std::move(fresh);
}

void QELString::AssignNarrow(const char* text) {
  auto fresh = std::make_unique<StringData>();
  wchar* wide = nullptr;
  { const kvtr::text::NarrowToWideConversion convert(text, GetACP() == 1252, &wide); }
  fresh->ReplaceWide(wide, WideLength(wide) + 1);
  data_ = std::move(fresh);
}

unsigned QELString::AssignCount(const wchar* characters, unsigned count) {
  if (characters == nullptr) {
    data_->ReplaceWide(nullptr, 0);
    return 0;
  }
  data_->ReplaceWide(CopyOf(characters, count), static_cast<size_t>(count) + 1);
  return count;
}

// ---- appending ----

void QELString::Append(const QELString& other) {
  if (other.data_->wide != nullptr) Append(other.data_->wide);
}

void QELString::Append(const wchar* text) {
  if (text == nullptr) return;
  data_->ReleaseNarrow();
  const size_t added = WideLength(text);
  if (data_->wide == nullptr) {
    data_->ReplaceWide(CopyOf(text, added), added + 1);
    return;
  }
  const size_t kept = WideLength(data_->wide);
  wchar* joined = new wchar[kept + added + 1];
  std::memcpy(joined, data_->wide, kept * sizeof(wchar));
  std::memcpy(joined + kept, text, added * sizeof(wchar));
  joined[kept + added] = 0;
  data_->ReplaceWide(joined, kept + added + 1);
}

int QELString::AppendFormat(QELString& target, const wchar* format, ...) {
  QELString piece;
  va_list args;
  va_start(args, format);
  try {
    piece.FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  target.Append(piece);
  return static_cast<int>(target.Length());
}

// ---- formatting ----
// The arguments are formatted before the old text is released, so that the
// string's own text can be one of them (s.Format(W("[%s]"), s.CStr())).

int QELString::Format(const wchar* format, ...) {
  va_list args;
  va_start(args, format);
  int result;
  try {
    result = FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

int QELString::FormatV(const wchar* format, va_list args) {
  const size_t limit = static_cast<size_t>(formatLimit_);
  ScratchBuffer<wchar> buffer(limit);
  const int result = kvtr::format::FormatBounded(buffer.get(), limit - 1, format, args);
  buffer.get()[limit - 1] = 0;
  const size_t length = WideLength(buffer.get());
  data_->ReplaceWide(CopyOf(buffer.get(), length), length + 1);
  return result;
}

int QELString::FormatNarrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result;
  try {
    result = FormatNarrowV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

int QELString::FormatNarrowV(const char* format, va_list args) {
  const size_t limit = static_cast<size_t>(formatLimit_);
  ScratchBuffer<char> buffer(limit);
  const int result = kvtr::format::FormatBounded(buffer.get(), limit, format, args);
  buffer.get()[limit - 1] = 0;
  wchar* wide = nullptr;
  { const kvtr::text::NarrowToWideConversion convert(buffer.get(), /*useBuiltIn1252=*/false, &wide); }
  data_->ReplaceWide(wide, WideLength(wide) + 1);
  return result < 0 ? -1 : static_cast<int>(Length());
}

// ---- views and queries ----

const wchar* QELString::CStr() const noexcept {
  const wchar* text = nullptr;
  try {
    if (!kvtr::runtime::Guarded([&] { text = data_->wide; })) return nullptr;
  } catch (...) {
    return nullptr;
  }
  return text;
}

const char* QELString::ToNarrow() const noexcept {
  const char* text = nullptr;
  try {
    if (!kvtr::runtime::Guarded([&] { text = data_->Narrow(GetACP() == 1252); })) return nullptr;
  } catch (...) {
    return nullptr;
  }
  return text;
}

unsigned QELString::Length() const noexcept { return static_cast<unsigned>(WideLength(data_->wide)); }

const wchar* QELString::At(int index) const noexcept {
  if (index < 0 || static_cast<unsigned>(index) >= Length()) return &data_->nul;
  return data_->wide + index;
}

QELString& QELString::Strip(int flags) {
  data_->ReleaseNarrow();
  wchar* const text = data_->wide;
  if (text == nullptr) return *this;
  if (flags & kStripLeading) {
    size_t skipped = 0;
    while (text[skipped] != 0 && IsWhiteSpace(text[skipped])) ++skipped;
    if (skipped != 0) std::memmove(text, text + skipped, (WideLength(text + skipped) + 1) * sizeof(wchar));
  }
  if (flags & kStripTrailing) {
    const size_t length = WideLength(text);
    if (length != 0) {
      size_t last = length - 1;
      while (last > 0 && IsWhiteSpace(text[last])) --last;
      text[IsWhiteSpace(text[last]) ? last : last + 1] = 0;
    }
  }
  return *this;
}

}  // namespace qel
