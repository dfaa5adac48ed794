// The checked formatter: fuzzed formats, fixed readable arguments. The
// first byte chooses the buffer's capacity, the second the ANSI code page;
// the rest is the format, as UTF-16LE units for the wide forms and as bytes
// for the narrow one.
//
// Every argument slot holds something readable: eight doubles (the
// floating-point registers of System V's va_list) and then pointers to one
// text that is a valid narrow and wide string, so a conversion of any type
// reads a harmless value; formats that could take more arguments than are
// passed are skipped. Findings: a sanitizer report, a crash, or
//   - SafeFormat differing from the check followed by FormatBounded;
//   - a result that is not the length a measuring call gives;
//   - a write outside the buffer (each buffer is exactly its capacity).
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common_utils/format/bounded_format.h"
#include "common_utils/report/argument_check.h"
#include "common_utils/report/rejected_entry.h"
#include "common_utils/report/safe_format.h"
#include "fuzz/fuzz_prefix.h"

namespace format = kvtr::format;
using kvtr::wchar;

namespace {

constexpr int kPointerArguments = 64;
constexpr wchar kSentinel = 0x2A2A;

// Narrow: "kv", then a zero byte. Wide: one unit 'k' | 'v' << 8, then a zero unit.
alignas(8) const char kText[] = {'k', 'v', 0, 0, 'x', 0, 0, 0};

struct Input {
  int capacity;
  const wchar* wideFormat;
  const char* narrowFormat;
};

// Wide form into a buffer of exactly `count` units (a measuring call when
// `measure`).
int Bounded(size_t count, bool measure, std::vector<wchar>& out, const wchar* format, va_list args) {
  std::vector<wchar> storage(count + 1, kSentinel);  // never null, even for a count of 0
  va_list copy;
  va_copy(copy, args);
  const int result = format::FormatBounded(measure ? nullptr : storage.data(), measure ? 0 : count, format, copy);
  va_end(copy);
  if (storage[count] != kSentinel) kvtr::fuzz::Fail("FormatBounded wrote past its count");
  storage.pop_back();
  out = std::move(storage);
  return result;
}

void Run(const Input* in, ...) {
  va_list args;
  va_start(args, in);

  // The check alone, with both conventions; the walk must not read more
  // than is passed, and a rejection is only reported.
  va_list copy;
  va_copy(copy, args);
  format::ValidateLogArguments(3, in->wideFormat, copy, 0, nullptr, false);
  va_end(copy);
  va_copy(copy, args);
  const bool accepted = format::ValidateLogArguments(3, in->wideFormat, copy, 0, nullptr, true);
  va_end(copy);

  // SafeFormat: as the check followed by FormatBounded into capacity - 1.
  std::vector<wchar> safe(static_cast<size_t>(in->capacity), kSentinel);
  va_copy(copy, args);
  const int safeResult = format::SafeFormatV(safe.data(), in->capacity, in->wideFormat, copy);
  va_end(copy);
  if (!accepted) {
    if (safeResult != 0) kvtr::fuzz::Fail("SafeFormat formatted a rejected entry");
    for (wchar unit : safe) {
      if (unit != kSentinel) kvtr::fuzz::Fail("SafeFormat wrote for a rejected entry");
    }
  } else {
    std::vector<wchar> expected;
    const int expectedResult = Bounded(static_cast<size_t>(in->capacity) - 1, false, expected, in->wideFormat, args);
    expected.push_back(0);
    if (safeResult != expectedResult || safe != expected) kvtr::fuzz::Fail("SafeFormat differs from FormatBounded");
    std::vector<wchar> none;
    const int measured = Bounded(0, true, none, in->wideFormat, args);
    if (expectedResult >= 0 && measured != expectedResult) kvtr::fuzz::Fail("the length differs from the measured one");
    if (expectedResult >= 0 && expectedResult < in->capacity - 1 && expected[expectedResult] != 0) {
      kvtr::fuzz::Fail("a text that fits is not terminated");
    }
  }

  // The narrow formatter on its own (it takes conversions the check refuses).
  std::vector<char> narrow(static_cast<size_t>(in->capacity), '*');
  va_copy(copy, args);
  const int narrowResult = format::FormatBounded(narrow.data(), narrow.size(), in->narrowFormat, copy);
  va_end(copy);
  va_copy(copy, args);
  const int narrowMeasured = format::FormatBounded(static_cast<char*>(nullptr), 0, in->narrowFormat, copy);
  va_end(copy);
  if (narrowResult >= 0 && narrowMeasured != narrowResult) kvtr::fuzz::Fail("narrow length differs from the measured one");
  va_end(args);
}

// At most one argument per '%' and per '*'.
template <typename Unit>
size_t MostArguments(const std::vector<Unit>& text) {
  size_t count = 0;
  for (Unit unit : text) count += unit == '%' || unit == '*';
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvtr::fuzz::UseFreshPrefix();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 4096) return 0;
  const int capacity = 1 + data[0];
  KvtrEmu_SetAnsiCodePage((data[1] & 1) != 0 ? 1252 : CP_UTF8);
  std::vector<wchar> wide;
  for (size_t i = 2; i + 1 < size; i += 2) wide.push_back(static_cast<wchar>(data[i] | data[i + 1] << 8));
  wide.push_back(0);
  std::vector<char> narrow(data + 2, data + size);
  narrow.push_back(0);
  if (MostArguments(wide) > kPointerArguments || MostArguments(narrow) > kPointerArguments) return 0;

  const Input in{capacity, wide.data(), narrow.data()};
  const void* const p = kText;
#define KVTR_P8 p, p, p, p, p, p, p, p
  Run(&in, 0.5, -1.25, 3e300, 1e-310, 0.0, -0.0, 123456.789, 1e15, KVTR_P8, KVTR_P8, KVTR_P8, KVTR_P8, KVTR_P8,
      KVTR_P8, KVTR_P8, KVTR_P8, KVTR_P8);
#undef KVTR_P8
  return 0;
}
