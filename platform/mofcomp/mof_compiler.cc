// The compiler object: IMofCompiler over the emulated repository.
//
// A compilation runs in three phases, reported in WBEM_COMPILE_STATUS_INFO
// as the command-line compiler does: 1 arguments (flags, namespace, the
// file), 2 parsing, 3 storing. Storing is all or nothing: the items are
// applied in text order to a working copy and written only when every one
// of them succeeded. A file that asks for it ("#pragma autorecover" or
// WBEM_FLAG_AUTORECOVER) is then added to the autorecover list.
#include "platform/mofcomp/mof_compiler.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "platform/handle_owners.h"
#include "platform/mofcomp/mof_parser.h"
#include "platform/mofcomp/mof_status.h"
#include "platform/mofcomp/object_count.h"
#include "platform/mofcomp/wmi_repository.h"

#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::mof {
namespace {

std::atomic<LONG> g_objects{0};

constexpr wchar kCimomKey[] = W("SOFTWARE\\Microsoft\\WBEM\\CIMOM");
constexpr wchar kAutorecoverValue[] = W("Autorecover MOFs");

struct Description {
  HRESULT code;
  const char* text;
};
constexpr Description kDescriptions[] = {
    {status::kFailed, "Generic failure"},
    {status::kNotFound, "Not found"},
    {status::kInvalidParameter, "Invalid parameter"},
    {status::kNotSupported, "Not supported"},
    {status::kInvalidSuperclass, "Invalid superclass"},
    {status::kInvalidNamespace, "Invalid namespace"},
    {status::kInvalidClass, "Invalid class"},
    {status::kAlreadyExists, "Already exists"},
    {status::kClassHasChildren, "Class has children"},
    {status::kExpectedQualifierName, "Expected qualifier name"},
    {status::kExpectedSemi, "Expected semicolon or '='"},
    {status::kExpectedOpenBrace, "Expected '{'"},
    {status::kExpectedCloseBrace, "Missing closing brace or an illegal array element"},
    {status::kExpectedCloseBracket, "Expected ']'"},
    {status::kExpectedCloseParen, "Expected ')'"},
    {status::kIllegalConstantValue, "Illegal constant value"},
    {status::kExpectedTypeIdentifier, "Expected type identifier"},
    {status::kExpectedOpenParen, "Expected '('"},
    {status::kUnrecognizedToken, "Unrecognized token"},
    {status::kUnrecognizedType, "Unrecognized type"},
    {status::kExpectedPropertyName, "Expected property or method name"},
    {status::kTypedefNotSupported, "Typedefs are not supported"},
    {status::kInvalidPragma, "Invalid or unsupported pragma"},
    {status::kInvalidNamespaceSyntax, "Invalid namespace path"},
    {status::kExpectedClassName, "Expected class name"},
    {status::kTypeMismatch, "Value does not match the type"},
    {status::kExpectedAliasName, "Expected alias name"},
    {status::kInvalidClassDeclaration, "Invalid class declaration"},
    {status::kInvalidInstanceDeclaration, "Invalid instance declaration"},
    {status::kDuplicateProperty, "Duplicate property or method"},
    {status::kOutOfRange, "Number out of range"},
    {status::kInvalidFile, "Not a MOF text"},
    {status::kDuplicateQualifier, "Duplicate qualifier"},
    {status::kExpectedFlavorType, "Expected flavor"},
    {status::kInvalidDeleteClassSyntax, "Invalid #pragma deleteclass"},
};

const char* Describe(HRESULT code) {
  for (const Description& d : kDescriptions) {
    if (d.code == code) return d.text;
  }
  return "Error";
}

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string Narrow(WStringView text) {
#ifdef _WIN32
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  }
  return out;
#else
  return ToUtf8(text);
#endif
}

// Narrow text in the ANSI code page, unless it is valid UTF-8.
WString DecodeNarrow(std::string_view bytes) {
  bool valid = false;
  WString text = FromUtf8(bytes, &valid);
  if (valid || bytes.empty()) return text;
  const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  text.assign(size > 0 ? size : 0, 0);
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}

WString DecodeUtf16(std::string_view bytes, bool bigEndian, bool stopAtZero) {
  WString text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned char a = static_cast<unsigned char>(bytes[i]);
    const unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    const wchar unit = static_cast<wchar>(bigEndian ? (a << 8) | b : (b << 8) | a);
    if (unit == 0 && stopAtZero) break;
    text.push_back(unit);
  }
  return text;
}

// MOF text of a file (UTF-16 with byte order mark, UTF-8, or ANSI) or of a
// CompileBuffer buffer (text up to the first zero; zero padding follows).
WString DecodeText(std::string_view bytes, bool buffer) {
  auto starts = [&](const char* mark, size_t length) { return bytes.substr(0, length) == std::string_view(mark, length); };
  if (starts("\xFF\xFE", 2)) return DecodeUtf16(bytes.substr(2), false, buffer);
  if (starts("\xFE\xFF", 2)) return DecodeUtf16(bytes.substr(2), true, buffer);
  if (starts("\xEF\xBB\xBF", 3)) bytes.remove_prefix(3);
  if (buffer) bytes = bytes.substr(0, bytes.find('\0'));
  return DecodeNarrow(bytes);
}

// Appends `path` to HKLM\...\CIMOM "Autorecover MOFs" unless an entry names
// it already. Existing entries are kept exactly; only the terminating zeros
// move behind the new one.
LONG AddToAutorecoverList(const WString& path) {
  UniqueKey key;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCimomKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                                key.put(), nullptr);
  if (result != ERROR_SUCCESS) return result;
  std::vector<BYTE> data;
  DWORD type = 0;
  DWORD size = 0;
  result = RegQueryValueExW(key.get(), kAutorecoverValue, nullptr, &type, nullptr, &size);
  if (result == ERROR_SUCCESS && size > 0) {
    data.resize(size);
    result = RegQueryValueExW(key.get(), kAutorecoverValue, nullptr, &type, data.data(), &size);
    data.resize(size);
  }
  if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  WString units(data.size() / 2, 0);
  if (!units.empty()) std::memcpy(units.data(), data.data(), units.size() * sizeof(wchar));
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(static_cast<wchar>(0), start);
    if (end == WString::npos) end = units.size();
    if (SameName(WStringView(units).substr(start, end - start), path)) return ERROR_SUCCESS;
    start = end + 1;
  }
  while (!units.empty() && units.back() == 0) units.pop_back();
  if (!units.empty()) units.push_back(0);
  units += path;
  units.push_back(0);
  units.push_back(0);
  result = RegSetValueExW(key.get(), kAutorecoverValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(units.data()),
                          static_cast<DWORD>(units.size() * sizeof(wchar)));
  return result;
}

// Reads a file named by a Windows path; a Win32 error code on failure.
DWORD ReadSourceFile(const WString& path, std::string* bytes) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_FILE_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
#ifdef _WIN32
  const std::filesystem::path host(path);
#else
  std::string hostPath(KvtrEmu_HostPath(path.c_str(), nullptr, 0) + 1, '\0');
  KvtrEmu_HostPath(path.c_str(), hostPath.data(), hostPath.size());
  hostPath.resize(hostPath.find('\0'));
  const std::filesystem::path host(hostPath);
#endif
  std::ifstream in(host, std::ios::binary);
  if (!in) return ERROR_ACCESS_DENIED;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? ERROR_CANTREAD : ERROR_SUCCESS;
}

// One CompileFile or CompileBuffer call.
class Compilation {
 public:
  Compilation(LONG options, LONG classFlags, LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* info)
      : options_(options), classFlags_(classFlags), instanceFlags_(instanceFlags), info_(info) {
    if (info_ != nullptr) *info_ = WBEM_COMPILE_STATUS_INFO{};
    console_ = (options & option::kConsolePrint) != 0;
  }

  HRESULT File(const WCHAR* fileName, const WCHAR* serverAndNamespace) {
    if (fileName == nullptr || fileName[0] == 0) {
      Print("A file name is required.");
      return Fail(kPhaseArgument, status::kInvalidParameter);
    }
    source_ = fileName;
    if (HRESULT hr = CheckArguments(serverAndNamespace); hr != 0) return hr;
    std::string bytes;
    if (DWORD error = ReadSourceFile(source_, &bytes); error != ERROR_SUCCESS) {
      Print("Cannot read the file " + Narrow(source_) + ".");
      return Fail(kPhaseArgument, FromWin32(error));
    }
    Print("Parsing MOF file: " + Narrow(source_));
    return Run(DecodeText(bytes, false), true);
  }

  HRESULT Buffer(LONG size, const BYTE* buffer, const WCHAR* serverAndNamespace) {
    if (buffer == nullptr || size <= 0) {
      Print("A buffer is required.");
      return Fail(kPhaseArgument, status::kInvalidParameter);
    }
    source_ = W("the buffer");
    if (HRESULT hr = CheckArguments(serverAndNamespace); hr != 0) return hr;
    Print("Parsing MOF buffer of " + std::to_string(size) + " bytes");
    const std::string_view bytes(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
    return Run(DecodeText(bytes, true), false);
  }

 private:
  void Print(const std::string& line) const {
    if (!console_) return;
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  HRESULT Fail(LONG phase, HRESULT code, LONG object = 0, LONG firstLine = 0, LONG lastLine = 0) {
    if (info_ != nullptr) {
      info_->lPhaseError = phase;
      info_->hRes = code;
      info_->ObjectNum = object;
      info_->FirstLine = firstLine;
      info_->LastLine = lastLine;
    }
    Print("Compiler returned error " + Hex(code));
    return status::kFalse;
  }

  HRESULT CheckArguments(const WCHAR* serverAndNamespace) {
    const LONG classUpdate = classFlags_ & (update::kUpdateOnly | update::kCreateOnly);
    const LONG classMode = classFlags_ & (update::kSafeMode | update::kForceMode);
    const bool classFlagsValid =
        (classFlags_ & ~(update::kUpdateOnly | update::kCreateOnly | update::kSafeMode | update::kForceMode)) == 0 &&
        classUpdate != (update::kUpdateOnly | update::kCreateOnly) &&
        classMode != (update::kSafeMode | update::kForceMode) && !(classUpdate == update::kCreateOnly && classMode);
    const bool instanceFlagsValid = (instanceFlags_ & ~(update::kUpdateOnly | update::kCreateOnly)) == 0 &&
                                    instanceFlags_ != (update::kUpdateOnly | update::kCreateOnly);
    const bool optionsValid = (options_ & ~option::kAll) == 0 &&
                              (options_ & (option::kAutoRecover | option::kDontAddToList)) !=
                                  (option::kAutoRecover | option::kDontAddToList);
    if (!optionsValid || !classFlagsValid || !instanceFlagsValid) {
      Print("The option, class or instance flags are not valid.");
      return Fail(kPhaseArgument, status::kInvalidParameter);
    }
    nameSpace_ = W("root\\default");
    if (serverAndNamespace != nullptr && serverAndNamespace[0] != 0) {
      nameSpace_ = ResolveNamespace(WStringView(), serverAndNamespace);
      if (nameSpace_.empty()) {
        Print("The namespace " + Narrow(serverAndNamespace) + " is not valid.");
        return Fail(kPhaseArgument, status::kInvalidNamespace);
      }
    }
    return 0;
  }

  HRESULT Run(const WString& text, bool isFile) {
    const ParseResult parsed = ParseMof(text, nameSpace_);
    if (parsed.error != 0) {
      Print(Narrow(source_) + " (" + std::to_string(parsed.errorLastLine) + "): error SYNTAX " + Hex(parsed.error) +
            ": " + Describe(parsed.error));
      return Fail(kPhaseParse, parsed.error, parsed.errorObject, parsed.errorFirstLine, parsed.errorLastLine);
    }
    Print("MOF file has been successfully parsed");
    if (options_ & option::kCheckOnly) {
      Print("Syntax check only: nothing was stored.");
      Print("Done!");
      return status::kNoError;
    }
    Print("Storing data in the repository...");
    {
      Transaction transaction;
      for (size_t i = 0; i < parsed.items.size(); ++i) {
        const Item& item = parsed.items[i];
        const HRESULT hr = transaction.Apply(item, classFlags_);
        if (hr == 0) continue;
        Print("An error occurred while processing item " + std::to_string(i + 1) + " defined on lines " +
              std::to_string(item.firstLine) + " - " + std::to_string(item.lastLine) + " in " + Narrow(source_) + ":");
        Print("Error Number: " + Hex(hr) + ", Facility: WMI");
        Print(std::string("Description: ") + Describe(hr));
        return Fail(kPhaseStore, hr, static_cast<LONG>(i + 1), item.firstLine, item.lastLine);
      }
      if (HRESULT hr = transaction.Commit(); hr != 0) {
        Print("The repository could not be written.");
        return Fail(kPhaseStore, hr);
      }
    }
    const bool listed = (parsed.autorecover || (options_ & option::kAutoRecover)) &&
                        (options_ & option::kDontAddToList) == 0;
    if (isFile && listed) {
      WString full(MAX_PATH, 0);
      DWORD length = GetFullPathNameW(source_.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      if (length >= full.size()) {
        full.assign(length, 0);
        length = GetFullPathNameW(source_.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      }
      full.resize(length < full.size() ? length : 0);
      if (full.empty()) full = source_;
      if (LONG error = AddToAutorecoverList(full); error != ERROR_SUCCESS) {
        Print("The file could not be added to the autorecover list.");
        return Fail(kPhaseStore, FromWin32(static_cast<DWORD>(error)));
      }
    }
    Print("Done!");
    return status::kNoError;
  }

  LONG options_;
  LONG classFlags_;
  LONG instanceFlags_;
  WBEM_COMPILE_STATUS_INFO* info_;
  bool console_ = false;
  WString source_;
  WString nameSpace_;
};

class MofCompilerObject final : public IMofCompiler {
 public:
  MofCompilerObject() { ++g_objects; }
  ~MofCompilerObject() { --g_objects; }
  MofCompilerObject(const MofCompilerObject&) = delete;
  MofCompilerObject& operator=(const MofCompilerObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return status::kPointer;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMofCompiler)) {
      *object = static_cast<IMofCompiler*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return status::kNoInterface;
  }

  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }

  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP CompileFile(LPWSTR FileName, LPWSTR ServerAndNamespace, LPWSTR, LPWSTR, LPWSTR, LONG lOptionFlags,
                           LONG lClassFlags, LONG lInstanceFlags, WBEM_COMPILE_STATUS_INFO* pInfo) override {
    try {
      return Compilation(lOptionFlags, lClassFlags, lInstanceFlags, pInfo).File(FileName, ServerAndNamespace);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return status::kFailed;  // nothing leaves a COM method
    }
  }

  STDMETHODIMP CompileBuffer(LONG BuffSize, BYTE* pBuffer, LPWSTR ServerAndNamespace, LPWSTR, LPWSTR, LPWSTR,
                             LONG lOptionFlags, LONG lClassFlags, LONG lInstanceFlags,
                             WBEM_COMPILE_STATUS_INFO* pInfo) override {
    try {
      return Compilation(lOptionFlags, lClassFlags, lInstanceFlags, pInfo).Buffer(BuffSize, pBuffer, ServerAndNamespace);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return status::kFailed;  // nothing leaves a COM method
    }
  }

  // Binary MOF files are not produced by this compiler.
  STDMETHODIMP CreateBMOF(LPWSTR, LPWSTR, LPWSTR, LONG, LONG, LONG, WBEM_COMPILE_STATUS_INFO* pInfo) override {
    if (pInfo != nullptr) {
      *pInfo = WBEM_COMPILE_STATUS_INFO{};
      pInfo->lPhaseError = kPhaseArgument;
      pInfo->hRes = status::kNotSupported;
    }
    return status::kNotSupported;
  }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace

LONG LiveCompilerObjects() { return g_objects.load(); }

HRESULT CreateMofCompiler(REFIID iid, void** object) {
  if (object == nullptr) return status::kPointer;
  *object = nullptr;
  const UniqueCom<MofCompilerObject> compiler(new (std::nothrow) MofCompilerObject());
  if (!compiler) return E_OUTOFMEMORY;
  return compiler.get()->QueryInterface(iid, object);
}

}  // namespace kvtr::mof
