// POSIX platform layer: per-thread last error, system error texts
// (FormatMessageW/A), local memory (LocalAlloc/LocalFree) and the
// conversion of errno to Win32 codes, the only one in the layer.
//
// The texts are Windows' own English system texts, trailing CR LF included,
// for the codes this library can meet, served as stored; a code without a
// text fails with ERROR_MR_MID_NOT_FOUND. A definition given as text
// (FORMAT_MESSAGE_FROM_STRING) has its inserts and escapes processed
// (message_text.cc).
#include <netdb.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "layer.h"
#include "message_text.h"
#include "win32_api.h"

namespace {

thread_local DWORD t_lastError = 0;

struct SystemText {
  DWORD code;
  const char* text;
};

// Sorted by code. HRESULTs of FACILITY_WIN32 (0x8007xxxx) are answered from
// the Win32 codes below them.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {21, "The device is not ready.\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {36, "Too many files opened for sharing.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {68, "The name limit for the local computer network adapter card was exceeded.\r\n"},
    {69, "The network BIOS session limit was exceeded.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1359, "An internal error occurred.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {0x80004001u, "Not implemented\r\n"},
    {0x80004002u, "No such interface supported\r\n"},
    {0x80004003u, "Invalid pointer\r\n"},
    {0x80004005u, "Unspecified error\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
    {0x80010106u, "Cannot change thread mode after it is set.\r\n"},
    {0x80040110u, "Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040154u, "Class not registered\r\n"},
    {0x800401F0u, "CoInitialize has not been called.\r\n"},
};

const char* FindSystemText(DWORD code) {
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

// English and the neutral/default selectors are served; other languages
// have no texts on this machine.
bool IsServedLanguage(DWORD languageId) {
  if (languageId == 0) return true;
  const DWORD primary = languageId & 0x3FF;
  return primary == LANG_NEUTRAL || primary == LANG_ENGLISH;
}

// Looks up the text and applies the width rule: FORMAT_MESSAGE_MAX_WIDTH_MASK
// drops the line ends; 0 keeps the text as stored. Returns false with the
// last error set when there is no text.
bool LoadSystemText(DWORD flags, DWORD messageId, DWORD languageId, kvtr::WString& text) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!IsServedLanguage(languageId)) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return false;
  }
  const char* found = FindSystemText(messageId);
  if (found == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  text = kvtr::WidenAscii(found);
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  }
  return true;
}

// Delivers `count` units (plus a terminator) of type Unit into the caller's
// buffer, or into a new LocalAlloc block when ALLOCATE_BUFFER is set.
template <typename Unit>
DWORD Deliver(DWORD flags, const Unit* text, size_t count, Unit* buffer, DWORD size) {
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t units = count + 1 > size ? count + 1 : size;
    auto* block = static_cast<Unit*>(LocalAlloc(LPTR, units * sizeof(Unit)));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(block, text, count * sizeof(Unit));
    *reinterpret_cast<Unit**>(buffer) = block;
    return static_cast<DWORD>(count);
  }
  if (size < count + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text, count * sizeof(Unit));
  buffer[count] = 0;
  return static_cast<DWORD>(count);
}

// A message definition given as text: its inserts and escapes processed.
// False with the last error set.
bool FormatFromString(bool wideCaller, DWORD flags, const WCHAR* definition, va_list* arguments,
                      kvtr::WString& text) {
  if (definition == nullptr || (flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
  kvtr::posix::MessageArguments inserts(array ? reinterpret_cast<const ULONG_PTR*>(arguments) : nullptr,
                                        array ? nullptr : arguments);
  DWORD error = 0;
  if (!kvtr::posix::FormatMessageText(wideCaller, flags, definition, inserts, text, error)) {
    SetLastError(error);
    return false;
  }
  return true;
}

// Delivers a formatted text as Deliver does; an empty one is no work done:
// 0 with ERROR_NO_WORK_DONE, a wide caller's buffer holding the empty text
// and a narrow caller's left as it was (no block is allocated).
template <typename Unit>
DWORD DeliverFormatted(DWORD flags, const Unit* text, size_t count, Unit* buffer, DWORD size) {
  if (count > 0) return Deliver<Unit>(flags, text, count, buffer, size);
  if (buffer != nullptr) {
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
      *reinterpret_cast<Unit**>(buffer) = nullptr;
    } else if (sizeof(Unit) == sizeof(WCHAR) && size > 0) {
      buffer[0] = 0;
    }
  }
  SetLastError(ERROR_NO_WORK_DONE);
  return 0;
}

}  // namespace

namespace kvtr::posix {

LONG StatusOfException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

HRESULT HresultOfException() noexcept {
  return StatusOfException() == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : E_UNEXPECTED;
}

DWORD WinsockErrorOfErrno(int error) {
  switch (error) {
    case EINTR:
      return WSAEINTR;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS:  // a non-blocking connect under way, as Windows reports it
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case EBADF:
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:  // sending after the peer's reset
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      return WSAEINVAL;
  }
}

DWORD ResolverErrorToWinsock(int status) {
  switch (status) {
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
    case EAI_MEMORY:
      return WSA_NOT_ENOUGH_MEMORY;
    default:
      return WSAHOST_NOT_FOUND;  // EAI_NONAME and the rest
  }
}

// The one conversion of errno to Win32 codes in the layer.
DWORD ErrnoToWin32(int error, const std::string& hostPath) {
  switch (error) {
    case ENOENT: {
      const size_t slash = hostPath.find_last_of('/');
      if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
      struct stat info;
      const std::string parent = hostPath.substr(0, slash);
      if (stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
      return ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_NAME;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

}  // namespace kvtr::posix

extern "C" {

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments) try {
  if (DWORD fault = kvtr::posix::InjectedFault("FormatMessageW", "errors")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString text;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!FormatFromString(/*wideCaller=*/true, flags, static_cast<const WCHAR*>(source), arguments, text)) return 0;
    return DeliverFormatted<WCHAR>(flags, text.data(), text.size(), buffer, size);
  }
  if (!LoadSystemText(flags, messageId, languageId, text)) return 0;
  return Deliver<WCHAR>(flags, text.data(), text.size(), buffer, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments) try {
  if (DWORD fault = kvtr::posix::InjectedFault("FormatMessageA", "errors")) {
    SetLastError(fault);
    return 0;
  }
  kvtr::WString text;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    const kvtr::WString definition = kvtr::posix::AnsiToWide(static_cast<const char*>(source));
    if (!FormatFromString(/*wideCaller=*/false, flags, definition.c_str(), arguments, text)) return 0;
    std::string narrow = kvtr::posix::WideToAnsi(text);
    return DeliverFormatted<char>(flags, narrow.data(), narrow.size(), buffer, size);
  }
  if (!LoadSystemText(flags, messageId, languageId, text)) return 0;
  std::string narrow = kvtr::posix::WideToAnsi(text);
  return Deliver<char>(flags, narrow.data(), narrow.size(), buffer, size);
} catch (...) {
  return kvtr::posix::FailWithException<DWORD>(0);
}

}  // extern "C"
