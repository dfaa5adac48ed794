#include "common_utils/module/symbol_engine.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common_utils/report/log_entry_points.h"
#include "platform/handle_owners.h"

namespace kvtr::runtime {
namespace {

constexpr char kFunction[] = "SymbolEngine::GetSymbolPath";
constexpr int kReportLevel = 2;
constexpr DWORD kProcessAllAccess = 0x1F0FFF;
constexpr DWORD kSystemText =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kUserDefaultLanguage = 0x400;
// The longest path or variable value Windows has, with its terminator.
constexpr DWORD kLongestText = 32768;

// The system's text for `code`, its trailing line ends removed; "" when the
// system has none.
std::string ErrorText(DWORD code) {
  UniqueLocalMemory text;
  const DWORD length =
      FormatMessageA(kSystemText, nullptr, code, kUserDefaultLanguage, reinterpret_cast<LPSTR>(text.put()), 0, nullptr);
  if (length == 0 || !text) return std::string();
  std::string result(static_cast<const char*>(text.get()), length);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) result.pop_back();
  return result;
}

void ReportFailure(const char* format, DWORD code) {
  format::LogMessageNarrow(kReportLevel, format, kFunction, ErrorText(code).c_str(), static_cast<int>(code));
}

// A whole text from a call that cannot fill too small a buffer:
// GetCurrentDirectoryA and GetEnvironmentVariableA then answer the size they
// need (terminator included), GetModuleFileNameA the size it was given, with
// the text cut. The scratch buffer is tried first; a text that does not fit
// is fetched again into a larger one (the size asked for, else twice the
// size, up to the longest text Windows has), so nothing is ever taken from
// a buffer the call did not fill, nor from a cut name. False with the error
// when the call fails.
template <typename Fetch>
bool FetchWhole(char* scratch, DWORD scratchSize, Fetch&& fetch, std::string& text, DWORD& error) {
  std::vector<char> larger;
  char* destination = scratch;
  DWORD capacity = scratchSize;
  DWORD got = fetch(destination, capacity);
  // A text may also grow between two calls; a bounded number of rounds.
  for (int round = 0; round < 20 && got >= capacity && capacity < kLongestText; ++round) {
    capacity = got > capacity ? got : (capacity < kLongestText / 2 ? capacity * 2 : kLongestText);
    larger.resize(capacity);
    destination = larger.data();
    got = fetch(destination, capacity);
  }
  if (got == 0) {
    error = GetLastError();
    return false;
  }
  if (got >= capacity) {
    error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  text.assign(destination, got);
  return true;
}

// The folder of an executable's name: up to the last '\' or '/', or up to
// and including a last ':' ("D:setup.exe" gives "D:"). Empty when the last
// separator is the first character or there is none.
std::string_view FolderOf(std::string_view name) {
  const size_t separator = name.find_last_of("\\/:");
  if (separator == std::string_view::npos || separator == 0) return std::string_view();
  return name.substr(0, name[separator] == ':' ? separator + 1 : separator);
}

}  // namespace

char* SymbolEngine::GetSymbolPath(char* buffer, int size) {
  if (buffer == nullptr) {
    format::LogMessageNarrow(kReportLevel, "%s Buffer is null", kFunction);
    return nullptr;
  }
  if (size < 1) return nullptr;
  const DWORD scratchSize = static_cast<DWORD>(size);

  std::string path;
  auto append = [&path](std::string_view part) {
    if (!path.empty()) path += ';';
    path += part;
  };
  std::string part;
  DWORD error = 0;

  if (FetchWhole(
          buffer, scratchSize, [](char* to, DWORD room) { return GetCurrentDirectoryA(room, to); }, part, error)) {
    append(part);
  } else {
    ReportFailure("[%s] Cannot get current folder name, the function returns error: %s. code (%d)", error);
  }

  if (FetchWhole(
          buffer, scratchSize, [](char* to, DWORD room) { return GetModuleFileNameA(nullptr, to, room); }, part,
          error)) {
    const std::string_view folder = FolderOf(part);
    if (!folder.empty()) append(folder);
  } else {
    ReportFailure("[%s] Cannot get module file name, the function returns error: %s. code (%d)", error);
  }

  struct Variable {
    const char* name;
    const char* failure;
  };
  static constexpr Variable kVariables[] = {
      {"_NT_SYMBOL_PATH", "[%s] Cannot get env value for _NT_SYMBOL_PATH, the function returns error: %s. code (%d)"},
      {"_NT_ALTERNATE_SYMBOL_PATH",
       "[%s] Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH, the function returns error: %s. code (%d)"},
      {"SYSTEMROOT", "[%s] Cannot get env value for SYSTEMROOT, the function returns error: %s. code (%d)"},
  };
  for (const Variable& variable : kVariables) {
    // An empty value answers 0 without touching the last error: cleared
    // first, it tells an empty variable (left out quietly) from a missing one.
    const auto fetch = [&variable](char* to, DWORD room) {
      SetLastError(ERROR_SUCCESS);
      return GetEnvironmentVariableA(variable.name, to, room);
    };
    if (FetchWhole(buffer, scratchSize, fetch, part, error)) {
      append(part);
    } else if (error != ERROR_SUCCESS) {
      ReportFailure(variable.failure, error);
    }
  }

  OutputDebugStringA("Symbols Path: ");
  OutputDebugStringA(path.c_str());
  OutputDebugStringA("\n");

  // At most size bytes, zero-filled past the path so that nothing of the
  // scratch use is left behind, and always terminated at size - 1.
  const size_t copied = path.size() < scratchSize ? path.size() : scratchSize;
  std::memcpy(buffer, path.data(), copied);
  std::memset(buffer + copied, 0, scratchSize - copied);
  buffer[scratchSize - 1] = 0;
  return buffer;
}

SymbolEngine::SymbolEngine() {
  symbolPath_ = std::make_unique<char[]>(kPathBytes);
  GetSymbolPath(symbolPath_.get(), kPathBytes);
  process_.reset(OpenProcess(kProcessAllAccess, FALSE, GetCurrentProcessId()));
}

SymbolEngine::~SymbolEngine() {
  if (initialised_ && entries_.cleanup != nullptr) entries_.cleanup(process_.get());
  symbolPath_.reset();
  process_.reset();
  library_.reset();
  lock_.Destroy();
}

}  // namespace kvtr::runtime
