#include "installer/installer_test.h"

#include <cstring>

#include "platform/mofcomp/wmi_repository.h"

namespace kvtr::test {
namespace {

constexpr const char* kCimom = "SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr const WCHAR* kAutorecover = W("Autorecover MOFs");
constexpr const char* kMissing = "<missing>";

std::vector<Report> g_reports;

extern "C" void __cdecl RecordReport(int level, void* r1, void* r2, void* r3, const WCHAR* message, const char* function,
                               int line, void* context) {
  g_reports.push_back(Report{level, function ? function : "", message ? WString(message) : WString(W("<null>")), line,
                             context, r1 == nullptr && r2 == nullptr && r3 == nullptr});
}

}  // namespace

std::vector<Report>& InstallerTest::Reports() { return g_reports; }

std::vector<WString> InstallerTest::Messages(const char* function) {
  std::vector<WString> messages;
  for (const Report& report : g_reports) {
    if (function == nullptr || report.function == function) messages.push_back(report.message);
  }
  return messages;
}

void InstallerTest::SetUp() {
  comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  server_ = std::make_unique<MofServer>();
  savedAutorecover_ = AutorecoverBytes();
  ForgetProductClasses();
  g_reports.clear();
  installer::SetLog(nullptr, &RecordReport);
}

void InstallerTest::TearDown() {
  installer::SetLog(nullptr, nullptr);
  g_reports.clear();
  ForgetProductClasses();
  // Under Wine the prefix is shared by every test: leave the list as found.
  SetAutorecoverBytes(savedAutorecover_);
  server_.reset();
  if (comInitialized_) CoUninitialize();
}

WString InstallerTest::PlaceProductMofs(const WString& folder) {
  TestMachine::MakeFolder(folder);
  for (const char* name : {"RouterClientPerf.mof", "RouterSessionPerf.mof", "AgentWMIPerf.mof", "ZMSI_WMI.mof"}) {
    EXPECT_TRUE(TestMachine::WriteFile(folder + W("\\") + WidenAscii(name), ReadSourceFile(std::string("mof/") + name)))
        << name;
  }
  return folder;
}

bool InstallerTest::ClassExists(const WCHAR* className) {
  return mof::FindClass(W("root\\cimv2"), className).has_value();
}

void InstallerTest::ForgetProductClasses() {
  IMofCompiler* compiler = nullptr;
  const CLSID clsid = {0x6DAF9757, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
  const IID iid = {0x6DAF974E, 0x2E37, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&compiler)))) return;
  for (const char* name : {"Win32_PerfRawData_Zorvane_Router_Client", "Win32_PerfRawData_Zorvane_Router_Session",
                           "Win32_PerfRawData_Zorvane_Agent", "Win32_Zorvane_counter",
                           "Win32_PerfRawData_ZorvaneServer_WMIObjects",
                           "Win32_PerfFormattedData_ZorvaneServer_WMIObjects"}) {
    std::string text = "#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\n#pragma deleteclass(\"" + std::string(name) +
                       "\",NOFAIL)\n";
    WBEM_COMPILE_STATUS_INFO status{};
    compiler->CompileBuffer(static_cast<LONG>(text.size()), reinterpret_cast<BYTE*>(text.data()), nullptr, nullptr,
                            nullptr, nullptr, 0, 0, 0, &status);
  }
  compiler->Release();
}

std::string InstallerTest::AutorecoverBytes() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCimom, 0, KEY_READ, &key) != ERROR_SUCCESS) return kMissing;
  DWORD size = 0, type = 0;
  std::string bytes = kMissing;
  if (RegQueryValueExW(key, kAutorecover, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    bytes.assign(size, '\0');
    if (RegQueryValueExW(key, kAutorecover, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) !=
        ERROR_SUCCESS) {
      bytes = kMissing;
    }
  }
  RegCloseKey(key);
  return bytes;
}

void InstallerTest::SetAutorecoverBytes(const std::string& bytes) {
  HKEY key = nullptr;
  if (bytes == kMissing) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCimom, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kAutorecover);
      RegCloseKey(key);
    }
    return;
  }
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCimom, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegSetValueExW(key, kAutorecover, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

void InstallerTest::SetAutorecoverEntries(const std::vector<WString>& entries) {
  SetAutorecoverBytes(MultiStringBytes(entries));
}

std::vector<WString> InstallerTest::AutorecoverEntries() {
  const std::string bytes = AutorecoverBytes();
  return bytes == kMissing ? std::vector<WString>() : DecodeMultiString(bytes);
}

}  // namespace kvtr::test
