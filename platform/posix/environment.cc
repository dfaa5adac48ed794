// POSIX platform layer: the environment (GetEnvironmentVariableA/W,
// ExpandEnvironmentStringsA/W).
//
// The environment is the process's own; names match without regard to case,
// as on Windows, and windir and SystemRoot name C:\Windows when the host
// leaves them unset, as they would on a Windows machine. Nothing here
// changes the environment. No product headers.
#include <cstdlib>
#include <cstring>
#include <string>

#include "layer.h"
#include "win32_api.h"

extern char** environ;

namespace kvtr::posix {

// An exact match first: the host may hold names that differ only in case,
// which a Windows environment cannot, and the one spelled as asked wins.
bool LookupVariable(WStringView name, WString& value) {
  // "" and names with '=' (other than a leading one) are never set.
  if (name.empty() || name.find('=', 1) != WStringView::npos) return false;
  const std::string wanted = Utf16ToUtf8(name);
  if (const char* exact = std::getenv(wanted.c_str())) {
    value = Utf8ToUtf16(exact);
    return true;
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;
    const WString candidate = Utf8ToUtf16(std::string_view(*entry, equals - *entry));
    if (EqualNoCase(candidate, name)) {
      value = Utf8ToUtf16(equals + 1);
      return true;
    }
  }
  if (EqualNoCase(name, W("windir")) || EqualNoCase(name, W("SystemRoot"))) {
    value = W("C:\\Windows");
    return true;
  }
  return false;
}

}  // namespace kvtr::posix

namespace {

// %NAME% is replaced when NAME is set; an unset "%NAME%" and a lone '%'
// stay as written.
kvtr::WString Expand(kvtr::WStringView source) {
  kvtr::WString out;
  size_t i = 0;
  while (i < source.size()) {
    if (source[i] != '%') {
      out.push_back(source[i++]);
      continue;
    }
    const size_t close = source.find('%', i + 1);
    if (close == kvtr::WStringView::npos) {
      out.append(source.substr(i));
      break;
    }
    kvtr::WString value;
    const kvtr::WStringView name = source.substr(i + 1, close - i - 1);
    if (!name.empty() && kvtr::posix::LookupVariable(name, value)) {
      out += value;
    } else {
      out.append(source.substr(i, close - i + 1));
    }
    i = close + 1;
  }
  return out;
}

template <typename Unit>
DWORD CopyExpansion(const std::basic_string<Unit>& text, Unit* dest, DWORD size) {
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (dest == nullptr || size == 0) return needed;
  if (needed > size) {
    std::memcpy(dest, text.data(), (size - 1) * sizeof(Unit));
    dest[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return needed;
  }
  std::memcpy(dest, text.c_str(), needed * sizeof(Unit));
  return needed;
}

// A variable's value by GetEnvironmentVariable's rules: too small a buffer
// gets the size needed and is left alone; an empty value is 0 with the last
// error untouched (and "" when there is room).
template <typename Unit>
DWORD CopyValue(const std::basic_string<Unit>& value, Unit* buffer, DWORD size) {
  if (buffer == nullptr || value.size() >= size) return static_cast<DWORD>(value.size() + 1);
  std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(Unit));
  return static_cast<DWORD>(value.size());
}

}  // namespace

extern "C" {

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("GetEnvironmentVariableW", "environment")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString value;
  if (name == nullptr || !kvtr::posix::LookupVariable(name, value)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyValue<WCHAR>(value, buffer, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

// Sizes in bytes of the ANSI code page.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("GetEnvironmentVariableA", "environment")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString value;
  if (name == nullptr || !kvtr::posix::LookupVariable(kvtr::posix::AnsiToWide(name), value)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyValue<char>(kvtr::posix::WideToAnsi(value), buffer, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ExpandEnvironmentStringsW", "environment")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return CopyExpansion<WCHAR>(Expand(source), dest, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size) try {
  if (DWORD fault = kvtr::posix::InjectedFault("ExpandEnvironmentStringsA", "environment")) {
    SetLastError(fault);
    return 0;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string expanded = kvtr::posix::WideToAnsi(Expand(kvtr::posix::AnsiToWide(source)));
  return CopyExpansion<char>(expanded, dest, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

}  // extern "C"
