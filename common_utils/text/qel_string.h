// QELString: the library's own wide-text string, in which the logger and
// the rejected-entry report build their messages.
//
// Each string owns its text exclusively through a record of its own
// (StringData); it is never shared and never copied. Every buffer a string
// releases is overwritten with zeros first. Narrow views of the text are
// made on demand, kept per conversion choice (thread code page or the
// built-in Windows-1252 table) and dropped at the next change. Formatting
// goes through a temporary buffer of the format limit (1024 characters or
// bytes) and keeps at most 1023 characters.
//
// Allocation failure raises std::bad_alloc out of any operation that
// allocates; such an operation leaves the text as it was. CStr and ToNarrow
// never raise. Not safe for concurrent use: even the views write.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>

#include "platform/wide.h"

namespace qel {

class QELString {
 public:
  // Strip flags.
  static constexpr int kStripLeading = 1;
  static constexpr int kStripTrailing = 2;

  // No text at all (CStr null), which is not the same as an empty text.
  QELString();
  // A copy of `text`; null gives no text.
  explicit QELString(const kvtr::wchar* text);
  // `text` converted with the thread code page, or with the built-in
  // Windows-1252 table when `useBuiltIn1252`; null gives no text.
  QELString(const char* text, bool useBuiltIn1252);
  virtual ~QELString();

  QELString(const QELString&) = delete;
  QELString& operator=(const QELString&) = delete;

  // Each replaces the record. A copy of `text`, or no text for null.
  void Assign(const kvtr::wchar* text);
  // `text` converted with the built-in Windows-1252 table when GetACP() is
  // 1252 at the moment of the call, else with the thread code page; null
  // gives no text.
  void AssignNarrow(const char* text);
  // Exactly `count` units of `characters`, terminators among them copied as
  // they are, then a terminator. Returns `count`. A null source gives no
  // text and returns 0.
  unsigned AssignCount(const kvtr::wchar* characters, unsigned count);

  // Appends the other string's text; nothing changes when it has none.
  void Append(const QELString& other);
  // Appends `text`; null changes nothing.
  void Append(const kvtr::wchar* text);
  // Formats (as Format) and appends the result to `target`. Returns the
  // target's length afterwards.
  static int AppendFormat(QELString& target, const kvtr::wchar* format, ...);

  // Replace the text with the formatted one (Microsoft conventions). Return
  // the formatter's result: the characters written, or -1 when the text was
  // cut to 1023 characters or the format is invalid (the text then holds
  // what was written before the bad directive).
  int Format(const kvtr::wchar* format, ...);
  int FormatV(const kvtr::wchar* format, va_list args);
  // Formats narrow text into 1024 bytes, of which the first 1023 are kept
  // and converted with the thread code page. Returns -1 when the formatter
  // reported a cut, else the length of the new text. A result of exactly
  // 1024 bytes is not a cut to the formatter: its last byte is dropped and
  // the length returned.
  int FormatNarrow(const char* format, ...);
  int FormatNarrowV(const char* format, va_list args);

  // The text, or null when there is none or reading it faults.
  const kvtr::wchar* CStr() const noexcept;
  // The text in the ANSI code page: Windows-1252 (built-in table) when
  // GetACP() is 1252 now, else the thread code page. Owned by the string,
  // valid until its next change. Null when there is no text, or on any
  // exception or processor fault.
  const char* ToNarrow() const noexcept;
  // Characters before the terminator; 0 without text.
  unsigned Length() const noexcept;
  // The character at `index` when 0 <= index < Length(), else the address
  // of a nul character of the record's own.
  const kvtr::wchar* At(int index) const noexcept;
  // Removes leading (kStripLeading) and/or trailing (kStripTrailing) white
  // space in place. Drops the narrow views first.
  QELString& Strip(int flags);

 private:
  class StringData {
   public:
    StringData() = default;
    virtual ~StringData();
    StringData(const StringData&) = delete;
    StringData& operator=(const StringData&) = delete;

    // Wipes and releases the narrow copies / the wide text.
    void ReleaseNarrow() noexcept;
    void ReleaseWide() noexcept;
    // Wipes and releases everything, then takes `text` (`units` units of
    // buffer, terminator included) as the wide text.
    void ReplaceWide(kvtr::wchar* text, size_t units) noexcept;
    // The narrow copy for the choice, made when missing; null without text.
    const char* Narrow(bool useBuiltIn1252);

    kvtr::wchar* wide = nullptr;      // null: no text
    char* narrowThread = nullptr;     // the thread code page's copy
    char* narrow1252 = nullptr;       // the built-in Windows-1252 copy
    char* narrowSpare = nullptr;      // never filled; released like the others
    kvtr::wchar nul = 0;              // what At answers out of range
    // Units of `wide` that may hold text, terminators included: more than
    // the length after AssignCount with embedded terminators or a Strip.
    // The whole extent is wiped on release.
    size_t wideUnits = 0;
  };

  std::unique_ptr<StringData> data_;
  int formatLimit_ = 1024;
};

}  // namespace qel
