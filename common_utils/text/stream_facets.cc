#include "common_utils/text/stream_facets.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kvtr::text {
namespace {

using Result = std::codecvt_base::result;

constexpr uint32_t kReplacement = 0xFFFD;

bool IsHigh(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
uint32_t Unit(wchar unit) { return static_cast<uint16_t>(unit); }
uint32_t Byte(char byte) { return static_cast<unsigned char>(byte); }
uint32_t Combine(uint32_t high, uint32_t low) { return (high - 0xD800) * 0x400 + (low - 0xDC00) + 0x10000; }

size_t SequenceLength(uint32_t code) {
  if (code < 0x80) return 1;
  if (code < 0x800) return 2;
  if (code > 0xFFFF) return 4;
  return 3;
}

// The UTF-8 facet's conversion state: the high surrogate that ended the
// previous out-conversion's source, or 0. Kept in the first two bytes of
// the state, so the zeroed initial state holds nothing.
static_assert(sizeof(std::mbstate_t) >= sizeof(uint16_t));

uint32_t KeptHigh(const std::mbstate_t& state) {
  uint16_t unit;
  std::memcpy(&unit, &state, sizeof unit);
  return IsHigh(unit) ? unit : 0;
}

void Keep(std::mbstate_t& state, uint32_t unit) {
  const auto value = static_cast<uint16_t>(unit);
  std::memcpy(&state, &value, sizeof value);
}

// Continuation bytes a lead byte announces.
size_t ContinuationCount(uint32_t lead) {
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 1;
  if (lead < 0xF0) return 2;
  if (lead < 0xF8) return 3;
  if (lead < 0xFC) return 4;
  return 5;
}

// Whether a complete sequence is legal: no stray continuation byte as its
// lead, no overlong form, nothing above 10FFFF.
bool IsLegal(const char* sequence, size_t continuations) {
  const uint32_t lead = Byte(sequence[0]);
  if ((lead >= 0x80 && lead <= 0xC1) || lead >= 0xF5) return false;
  for (size_t i = 1; i <= continuations; ++i) {
    if ((Byte(sequence[i]) & 0xC0) != 0x80) return false;
  }
  if (continuations == 0) return true;
  const uint32_t second = Byte(sequence[1]);
  if (lead == 0xE0 && second < 0xA0) return false;
  if (lead == 0xF0 && second < 0x90) return false;
  if (lead == 0xF4 && second > 0x8F) return false;
  return true;
}

uint32_t Decode(const char* sequence, size_t continuations) {
  static constexpr uint32_t kLeadBits[] = {0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};
  uint32_t code = Byte(sequence[0]) & kLeadBits[continuations];
  for (size_t i = 1; i <= continuations; ++i) code = (code << 6) | (Byte(sequence[i]) & 0x3F);
  return code;
}

}  // namespace

// ---- UTF-16 ----

int UTF16StreamCodeCvtFacetBase::do_length(state_type&, const extern_type* from, const extern_type* fromEnd,
                                           size_t max) const {
  const size_t units = static_cast<size_t>(fromEnd - from) / 2;
  return static_cast<int>(std::min(max, units));
}

Result UTF16LEStreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                        const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                        intern_type*& toNext) const {
  const size_t bytes = static_cast<size_t>(fromEnd - from);
  const size_t count = std::min(bytes / 2, static_cast<size_t>(toEnd - to));
  for (size_t i = 0; i < count; ++i) {
    to[i] = static_cast<intern_type>(Byte(from[2 * i]) | (Byte(from[2 * i + 1]) << 8));
  }
  fromNext = from + 2 * count;
  toNext = to + count;
  if (count == 0 && bytes == 1) return partial;
  return ok;
}

Result UTF16LEStreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                         const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                         extern_type*& toNext) const {
  const size_t units = static_cast<size_t>(fromEnd - from);
  const size_t count = std::min(units, static_cast<size_t>(toEnd - to) / 2);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t unit = Unit(from[i]);
    to[2 * i] = static_cast<extern_type>(unit & 0xFF);
    to[2 * i + 1] = static_cast<extern_type>(unit >> 8);
  }
  fromNext = from + count;
  toNext = to + 2 * count;
  return count == units ? ok : partial;
}

// ---- single bytes ----

Result SingleByteStreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                           const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                           intern_type*& toNext) const {
  const size_t count = std::min(static_cast<size_t>(fromEnd - from), static_cast<size_t>(toEnd - to));
  for (size_t i = 0; i < count; ++i) to[i] = static_cast<intern_type>(Byte(from[i]));
  fromNext = from + count;
  toNext = to + count;
  return fromNext == fromEnd ? ok : partial;
}

Result SingleByteStreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                            const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                            extern_type*& toNext) const {
  const size_t count = std::min(static_cast<size_t>(fromEnd - from), static_cast<size_t>(toEnd - to));
  for (size_t i = 0; i < count; ++i) to[i] = static_cast<extern_type>(Unit(from[i]) & 0xFF);
  fromNext = from + count;
  toNext = to + count;
  return fromNext == fromEnd ? ok : partial;
}

int SingleByteStreamCodeCvtFacet::do_length(state_type&, const extern_type* from, const extern_type* fromEnd,
                                            size_t max) const {
  return static_cast<int>(std::min(max, static_cast<size_t>(fromEnd - from)));
}

// ---- UTF-8 ----

Result UTF8StreamCodeCvtFacet::do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                                      const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                      extern_type*& toNext) const {
  fromNext = from;
  toNext = to;
  uint32_t kept = KeptHigh(state);
  for (;;) {
    uint32_t code;
    size_t consumed;  // source units the sequence takes
    if (kept != 0) {
      if (fromNext == fromEnd) return partial;  // still waiting for its other half
      const uint32_t next = Unit(*fromNext);
      if (IsLow(next)) {
        code = Combine(kept, next);
        consumed = 1;
      } else {
        code = kept;
        consumed = 0;
      }
    } else {
      if (fromNext == fromEnd) return ok;
      const uint32_t unit = Unit(*fromNext);
      if (IsHigh(unit) && fromNext + 1 == fromEnd) {
        Keep(state, unit);
        ++fromNext;
        return partial;
      }
      if (IsHigh(unit) && IsLow(Unit(fromNext[1]))) {
        code = Combine(unit, Unit(fromNext[1]));
        consumed = 2;
      } else {
        code = unit;
        consumed = 1;
      }
    }
    if (static_cast<size_t>(toEnd - toNext) < SequenceLength(code)) return partial;
    toNext += EncodeUtf8(code, toNext);
    fromNext += consumed;
    if (kept != 0) {
      kept = 0;
      Keep(state, 0);
    }
  }
}

Result UTF8StreamCodeCvtFacet::do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                                          extern_type*& toNext) const {
  toNext = to;
  const uint32_t kept = KeptHigh(state);
  if (kept == 0) return noconv;
  if (toEnd - to < 3) return partial;
  toNext += EncodeUtf8(kept, to);
  Keep(state, 0);
  return ok;
}

Result UTF8StreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                     const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                     intern_type*& toNext) const {
  fromNext = from;
  toNext = to;
  while (fromNext != fromEnd) {
    const size_t continuations = ContinuationCount(Byte(*fromNext));
    if (static_cast<size_t>(fromEnd - fromNext) <= continuations) return partial;
    if (!IsLegal(fromNext, continuations)) return error;
    uint32_t code = Decode(fromNext, continuations);
    if (toNext == toEnd) return partial;
    if (code > 0x10FFFF) code = kReplacement;
    if (code > 0xFFFF) {
      if (toEnd - toNext < 2) return partial;
      code -= 0x10000;
      *toNext++ = static_cast<intern_type>(0xD800 + (code >> 10));
      *toNext++ = static_cast<intern_type>(0xDC00 + (code & 0x3FF));
    } else {
      *toNext++ = static_cast<intern_type>(code);
    }
    fromNext += continuations + 1;
  }
  return ok;
}

int UTF8StreamCodeCvtFacet::do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                                      size_t max) const {
  const size_t room = std::min(max, static_cast<size_t>(fromEnd - from));
  const std::unique_ptr<intern_type[]> buffer(new intern_type[room]);
  const extern_type* fromNext = from;
  intern_type* toNext = buffer.get();
  std::mbstate_t local = state;
  if (do_in(local, from, fromEnd, fromNext, buffer.get(), buffer.get() + room, toNext) != ok) return 0;
  return static_cast<int>(toNext - buffer.get());
}

}  // namespace kvtr::text
