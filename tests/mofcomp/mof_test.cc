#include "mofcomp/mof_test.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kvtr::test {
namespace {

constexpr wchar kCimomKey[] = W("SOFTWARE\\Microsoft\\WBEM\\CIMOM");
constexpr wchar kAutorecoverValue[] = W("Autorecover MOFs");
constexpr char kMissing[] = "<missing>";

}  // namespace

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string Outcome::Text() const {
  return "result=" + std::to_string(result) + " phase=" + std::to_string(info.lPhaseError) + " hr=" + Hex(info.hRes) +
         " object=" + std::to_string(info.ObjectNum) + " lines=" + std::to_string(info.FirstLine) + "-" +
         std::to_string(info.LastLine);
}

std::string Failure(LONG phase, HRESULT code, LONG object, LONG first, LONG last) {
  Outcome outcome;
  outcome.result = 1;
  outcome.info.lPhaseError = phase;
  outcome.info.hRes = code;
  outcome.info.ObjectNum = object;
  outcome.info.FirstLine = first;
  outcome.info.LastLine = last;
  return outcome.Text();
}

std::string WideBytes(WStringView text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar));
}

void MofTest::SetUp() {
  if (!server_.Usable()) GTEST_SKIP() << "the system's own MOF compiler is left alone outside Wine";
  ASSERT_EQ(Hex(S_OK), Hex(server_.RegisterResult()));
  ForgetRepository();
  savedAutorecover_ = AutorecoverBytes();
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ASSERT_TRUE(SUCCEEDED(init)) << Hex(init);
  comInitialized_ = true;
  const HRESULT created = CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                                           reinterpret_cast<void**>(&compiler_));
  ASSERT_EQ(Hex(S_OK), Hex(created));
  ASSERT_NE(nullptr, compiler_);
}

void MofTest::TearDown() {
  if (compiler_ != nullptr) compiler_->Release();
  compiler_ = nullptr;
  if (comInitialized_) CoUninitialize();
  if (!server_.Usable()) return;
  // The Wine prefix outlives the test: put back what it changed there.
  if (savedAutorecover_ == kMissing) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCimomKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kAutorecoverValue);
      RegCloseKey(key);
    }
  } else {
    SetAutorecoverBytes(savedAutorecover_);
  }
  ForgetRepository();
}

void MofTest::ForgetRepository() {
#ifdef _WIN32
  // Linux has a fresh prefix per test; under Wine the repository folder
  // of the prefix is emptied.
  wchar folder[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH + 1);
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(WString(folder, length) + L"\\kvtr-wbem"), ignored);
#endif
}

WString MofTest::WriteMof(const std::string& name, std::string_view bytes) {
  const WString path = machine_.ScratchFolder() + W("\\") + WidenAscii(name);
  EXPECT_TRUE(TestMachine::WriteFile(path, bytes)) << name;
  return path;
}

Outcome MofTest::Compile(std::string_view text, LONG options, const WCHAR* nameSpace, LONG classFlags) {
  const WString path = WriteMof("text-" + std::to_string(++files_) + ".mof", text);
  return CompilePath(path, options, nameSpace, classFlags);
}

Outcome MofTest::CompilePath(const WString& path, LONG options, const WCHAR* nameSpace, LONG classFlags,
                             LONG instanceFlags) {
  Outcome outcome;
  std::memset(&outcome.info, 0xCC, sizeof outcome.info);  // all of it must be written
  WString file = path;
  WString ns = nameSpace != nullptr ? WString(nameSpace) : WString();
  outcome.result = compiler_->CompileFile(file.data(), nameSpace != nullptr ? ns.data() : nullptr, nullptr, nullptr,
                                          nullptr, options, classFlags, instanceFlags, &outcome.info);
  return outcome;
}

Outcome MofTest::CompileBytes(std::string_view bytes, LONG options, const WCHAR* nameSpace) {
  Outcome outcome;
  std::memset(&outcome.info, 0xCC, sizeof outcome.info);
  std::vector<BYTE> buffer(bytes.begin(), bytes.end());
  WString ns = nameSpace != nullptr ? WString(nameSpace) : WString();
  outcome.result = compiler_->CompileBuffer(static_cast<LONG>(buffer.size()), buffer.data(),
                                            nameSpace != nullptr ? ns.data() : nullptr, nullptr, nullptr, nullptr,
                                            options, 0, 0, &outcome.info);
  return outcome;
}

std::vector<std::string> MofTest::Classes(const WCHAR* nameSpace) {
  std::vector<mof::ClassSummary> classes;
  if (!mof::ListClasses(nameSpace, &classes)) return {"<none>"};
  std::vector<std::string> out;
  for (const auto& c : classes) out.push_back(NarrowAscii(c.name) + ":" + NarrowAscii(c.superclass));
  return out;
}

bool MofTest::HasClass(const std::string& name, const WCHAR* nameSpace) {
  return mof::FindClass(nameSpace, WidenAscii(name)).has_value();
}

std::string MofTest::AutorecoverBytes() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCimomKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return kMissing;
  DWORD type = 0;
  DWORD size = 0;
  std::string data = kMissing;
  if (RegQueryValueExW(key, kAutorecoverValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    data.assign(size, '\0');
    if (RegQueryValueExW(key, kAutorecoverValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
      data = kMissing;
    } else {
      data.resize(size);
      EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    }
  }
  RegCloseKey(key);
  return data;
}

std::vector<WString> MofTest::AutorecoverEntries() {
  const std::string bytes = AutorecoverBytes();
  std::vector<WString> entries;
  if (bytes == kMissing) return entries;
  WString units(bytes.size() / 2, 0);
  std::memcpy(units.data(), bytes.data(), units.size() * 2);
  size_t start = 0;
  while (start < units.size()) {
    size_t end = units.find(static_cast<wchar>(0), start);
    if (end == WString::npos) end = units.size();
    if (end > start) entries.push_back(units.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

void MofTest::SetAutorecoverBytes(std::string_view bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCimomKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                           nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, kAutorecoverValue, 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  RegCloseKey(key);
}

}  // namespace kvtr::test
