// POSIX platform layer: FormatMessage's inserts and escapes in a message
// definition given as text, as Windows documents them and answers (Wine's
// conformance tests of FormatMessage record the answers). No product
// headers; the conversions of narrow arguments use the ANSI code page.
#include "message_text.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "layer.h"

namespace kvtr::posix {
namespace {

bool IsDigit(wchar c) { return c >= '0' && c <= '9'; }

// One insert's "!format!" after its flags, width and precision.
struct Conversion {
  std::string length;  // "", "h", "l", "w", "ll", "I64", "I32", "I"
  wchar type = 's';
};

WString Widened(const char* text) { return text == nullptr ? WString(W("(null)")) : AnsiToWide(text); }

WString Copied(const wchar* text) { return text == nullptr ? WString(W("(null)")) : WString(text); }

// Pads `text` to `width` (left-justified with '-') after cutting it to
// `precision` characters when one is given.
WString Fitted(WString text, const std::string& flags, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(static_cast<size_t>(precision));
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    const WString pad(static_cast<size_t>(width) - text.size(), ' ');
    text = flags.find('-') != std::string::npos ? text + pad : pad + text;
  }
  return text;
}

// A number through the C library's printf, whose integer conversions are
// Windows' own.
bool Number(const std::string& flags, int width, int precision, const Conversion& conversion, ULONG_PTR value,
            WString& out) {
  std::string spec = "%" + flags;
  if (width >= 0) spec += std::to_string(width);
  if (precision >= 0) spec += "." + std::to_string(precision);
  const bool wide64 = conversion.length == "I64" || conversion.length == "ll" ||
                      (conversion.length == "I" && sizeof(ULONG_PTR) == 8);
  char text[512];
  switch (conversion.type) {
    case 'd':
    case 'i':
      if (wide64) {
        std::snprintf(text, sizeof text, (spec + "lld").c_str(), static_cast<long long>(value));
      } else {
        std::snprintf(text, sizeof text, (spec + "d").c_str(), static_cast<int>(value));
      }
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (wide64) {
        std::snprintf(text, sizeof text, (spec + "ll" + static_cast<char>(conversion.type)).c_str(),
                      static_cast<unsigned long long>(value));
      } else {
        std::snprintf(text, sizeof text, (spec + static_cast<char>(conversion.type)).c_str(),
                      static_cast<unsigned>(value));
      }
      break;
    case 'p':
      // Windows writes a pointer as upper-case hexadecimal of its full width.
      std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                    static_cast<unsigned long long>(value));
      break;
    default:
      return false;
  }
  out = WidenAscii(text);
  return true;
}

// The insert `number` with the format that starts at `at` (just after the
// number): "!format!" or nothing (a string). Moves `at` past it.
bool FormatInsert(bool wideCaller, int number, WStringView text, size_t& at, MessageArguments& arguments,
                  WString& out) {
  if (at >= text.size() || text[at] != '!') {
    const ULONG_PTR argument = arguments.Get(number);
    out = wideCaller ? Copied(reinterpret_cast<const wchar*>(argument)) : Widened(reinterpret_cast<const char*>(argument));
    return true;
  }
  ++at;
  std::string flags;
  int width = -1, precision = -1;
  bool starred = false;
  for (; at < text.size(); ++at) {
    const wchar c = text[at];
    if (c == '*') {
      width = static_cast<int>(arguments.Get(number));
      number = 0;
      starred = true;
    } else if (c == '-' || c == '+' || c == '0' || c == ' ' || c == '#') {
      flags.push_back(static_cast<char>(c));
    } else {
      break;
    }
  }
  if (width < 0 && at < text.size() && IsDigit(text[at])) {
    width = 0;
    while (at < text.size() && IsDigit(text[at])) width = width * 10 + (text[at++] - '0');
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    precision = 0;
    if (at < text.size() && text[at] == '*') {
      precision = static_cast<int>(arguments.Get(number));
      number = 0;
      starred = true;
      ++at;
    } else {
      while (at < text.size() && IsDigit(text[at])) precision = precision * 10 + (text[at++] - '0');
    }
  }
  if (starred) arguments.ForgetLast();
  const ULONG_PTR argument = arguments.Get(number);

  Conversion conversion;
  for (const char* length : {"I64", "I32", "ll", "h", "l", "w", "I"}) {
    const std::string_view prefix(length);
    if (text.size() - at > prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin() + at)) {
      conversion.length = length;
      at += prefix.size();
      break;
    }
  }
  if (at >= text.size()) return false;
  conversion.type = text[at];
  while (at < text.size() && text[at] != '!') ++at;
  if (at < text.size()) ++at;

  const std::string& length = conversion.length;
  const bool narrowLength = length == "h";
  const bool wideLength = length == "l" || length == "w";
  switch (conversion.type) {
    case 's':
    case 'S': {
      // "s" is the caller's own width, "S" the other one; h, l and w say it.
      const bool wide = wideLength || (!narrowLength && ((conversion.type == 's') == wideCaller));
      out = Fitted(wide ? Copied(reinterpret_cast<const wchar*>(argument))
                        : Widened(reinterpret_cast<const char*>(argument)),
                   flags, width, precision);
      return true;
    }
    case 'c':
    case 'C': {
      const bool wide = wideLength || (!narrowLength && ((conversion.type == 'c') == wideCaller));
      WString character;
      if (wide) {
        character.push_back(static_cast<wchar>(argument));
      } else {
        const char narrow[2] = {static_cast<char>(argument), 0};
        character = AnsiToWide(narrow);
      }
      out = Fitted(character, flags, width, -1);
      return true;
    }
    default:
      return Number(flags, width, precision, conversion, argument, out);
  }
}

}  // namespace

ULONG_PTR MessageArguments::Get(int number) {
  if (number <= 0) number = last_ + 1;
  if (list_ != nullptr) {
    // The values read so far are the first `last_`; the next one read goes
    // to the slot after them (again, after ForgetLast).
    if (read_.size() < static_cast<size_t>(number)) read_.resize(static_cast<size_t>(number));
    while (number > last_) read_[static_cast<size_t>(last_++)] = va_arg(*list_, ULONG_PTR);
    return read_[static_cast<size_t>(number - 1)];
  }
  if (number > last_) last_ = number;
  return array_[number - 1];
}

bool FormatMessageText(bool wideCaller, DWORD flags, WStringView definition, MessageArguments& arguments,
                       WString& out, DWORD& error) {
  const bool breaksAsSpaces = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  out.clear();
  size_t at = 0;
  while (at < definition.size()) {
    const wchar c = definition[at++];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && at < definition.size() && definition[at] == '\n') ++at;
      out += breaksAsSpaces ? WString(W(" ")) : WString(W("\r\n"));
      continue;
    }
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (at >= definition.size()) {
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    const wchar escape = definition[at];
    if (escape >= '1' && escape <= '9') {
      if (ignoreInserts) {
        out.push_back('%');
        continue;  // the insert's text follows as written
      }
      if (!arguments.present()) {
        error = ERROR_INVALID_PARAMETER;
        return false;
      }
      int number = escape - '0';
      ++at;
      if (at < definition.size() && IsDigit(definition[at])) number = number * 10 + (definition[at++] - '0');
      WString inserted;
      if (!FormatInsert(wideCaller, number, definition, at, arguments, inserted)) {
        error = ERROR_INVALID_PARAMETER;
        return false;
      }
      out += inserted;
      continue;
    }
    ++at;
    switch (escape) {
      case '0':
        return true;  // the end, without a line break
      case 'n':
        out += W("\r\n");
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      default:  // %% %. %! %space and any other character stand for themselves
        if (ignoreInserts) out.push_back('%');
        out.push_back(escape);
    }
  }
  return true;
}

}  // namespace kvtr::posix
