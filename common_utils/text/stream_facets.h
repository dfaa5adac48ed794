// Code-conversion facets for wide file streams (std::basic_fstream<WCHAR>):
// the stream's UTF-16 units are stored in the file as UTF-16 little-endian
// or as UTF-8. Neither writes a byte-order mark of its own; a writer that
// wants one puts U+FEFF first as an ordinary character.
//
// A facet is made with the reference count 0 and handed to a locale, which
// owns it:
//   stream.imbue(std::locale(std::locale::classic(), new UTF8StreamCodeCvtFacet));
// Problems show only through the conversion results (ok, partial, error);
// noconv is never returned by a conversion.
#pragma once

#include <cstddef>
#include <cwchar>
#include <locale>

#include "platform/wide.h"

namespace kvtr::text {

using StreamCodeCvt = std::codecvt<wchar, char, std::mbstate_t>;

// The answers both UTF-16 facets share; the conversions are left to the
// derived class.
class UTF16StreamCodeCvtFacetBase : public StreamCodeCvt {
 public:
  explicit UTF16StreamCodeCvtFacetBase(size_t refs = 0) : StreamCodeCvt(refs) {}

 protected:
  ~UTF16StreamCodeCvtFacetBase() override = default;

  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 2; }
  int do_encoding() const noexcept override { return 2; }
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd, const extern_type*& fromNext,
               intern_type* to, intern_type* toEnd, intern_type*& toNext) const override = 0;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd, const intern_type*& fromNext,
                extern_type* to, extern_type* toEnd, extern_type*& toNext) const override = 0;
  // The units the bytes hold, at most `max`: min(max, bytes / 2).
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                size_t max) const override;
};

// UTF-16 little-endian: each unit is its low byte, then its high byte.
class UTF16LEStreamCodeCvtFacet : public UTF16StreamCodeCvtFacetBase {
 public:
  explicit UTF16LEStreamCodeCvtFacet(size_t refs = 0) : UTF16StreamCodeCvtFacetBase(refs) {}

 protected:
  ~UTF16LEStreamCodeCvtFacet() override = default;

  // Copies min(bytes / 2, room) units. ok when a unit was copied; with none
  // copied, partial when exactly one byte is left, else ok (a byte left
  // after copied units stays for the next call).
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd, const extern_type*& fromNext,
               intern_type* to, intern_type* toEnd, intern_type*& toNext) const override;
  // Writes min(units, room / 2) units; partial when units are left over.
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd, const intern_type*& fromNext,
                extern_type* to, extern_type* toEnd, extern_type*& toNext) const override;
};

// One byte per unit, as a narrow file stream of the C runtime reads and
// writes: a byte reads as the unit of its value, a unit is written as its
// low byte. For files whose writers put down only units below 128.
class SingleByteStreamCodeCvtFacet : public StreamCodeCvt {
 public:
  explicit SingleByteStreamCodeCvtFacet(size_t refs = 0) : StreamCodeCvt(refs) {}

 protected:
  ~SingleByteStreamCodeCvtFacet() override = default;

  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 1; }
  int do_encoding() const noexcept override { return 1; }
  // Copies min(bytes, room) units; ok, or partial when units are left over.
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd, const extern_type*& fromNext,
               intern_type* to, intern_type* toEnd, intern_type*& toNext) const override;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd, const intern_type*& fromNext,
                extern_type* to, extern_type* toEnd, extern_type*& toNext) const override;
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                size_t max) const override;
};

// UTF-8, keeping lone surrogates: a surrogate that is not half of a pair is
// written as its own three-byte sequence (ED A0 80 for D800), and such a
// sequence reads back as that unit.
class UTF8StreamCodeCvtFacet : public StreamCodeCvt {
 public:
  explicit UTF8StreamCodeCvtFacet(size_t refs = 0) : StreamCodeCvt(refs) {}

 protected:
  ~UTF8StreamCodeCvtFacet() override = default;

  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 4; }
  int do_encoding() const noexcept override { return 0; }
  // Decodes whole sequences. partial when the source ends inside one or the
  // destination has no room for its unit(s); error at the start of an
  // illegal sequence (overlong forms, code points above 10FFFF, bad
  // continuation bytes); the error is reported before the destination's
  // room is looked at. Encoded surrogates read as their unit.
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd, const extern_type*& fromNext,
               intern_type* to, intern_type* toEnd, intern_type*& toNext) const override;
  // Encodes unit by unit, a surrogate pair as one four-byte sequence.
  // partial, with nothing consumed, when the destination lacks room for a
  // sequence. A high surrogate that is the last unit of the source may be
  // the first half of a pair split between two calls (the stream's buffer
  // can end between them): it is consumed and kept in `state`, and the
  // result is partial; the next call pairs it with its first unit, or
  // writes it alone when that unit is no low surrogate.
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd, const intern_type*& fromNext,
                extern_type* to, extern_type* toEnd, extern_type*& toNext) const override;
  // Writes a high surrogate still kept in `state` alone (three bytes) and
  // clears it: the stream calls this when it closes, seeks or switches to
  // reading. noconv when nothing is kept; partial when fewer than three
  // bytes of room are left.
  result do_unshift(state_type& state, extern_type* to, extern_type* toEnd, extern_type*& toNext) const override;
  // The units do_in makes of the bytes, into a buffer of min(max, bytes)
  // units; 0 when that conversion does not end with ok. A count of units,
  // not of bytes.
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                size_t max) const override;
};

}  // namespace kvtr::text
