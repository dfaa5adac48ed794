// The network and component steps of the environment report and the OLE DB
// provider list: registry entries and version resources made by the tests,
// an OLE DB enumerator of the tests' own, and COM apartments of each kind.
// Under Wine the machine's own entries are put back after each test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common_utils/environment/com_initializer.h"
#include "common_utils/environment/provider_list.h"
#include "common_utils/environment/report_environment.h"
#include "environment/report_recorder.h"
#include "environment/source_enumerator.h"
#include "support/pe_image.h"
#include "support/test_machine.h"

#ifndef _WIN32
#include <netdb.h>
#include <unistd.h>
#endif

namespace kvtr::test {
namespace {

using environment::ReportEnvironment;

std::string TextBytes(const WString& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(WCHAR));
}

// Sets one value below HKEY_LOCAL_MACHINE for the test's duration and puts
// back what was there: the old value, or no value, or no key.
class ScopedValue {
 public:
  ScopedValue(const std::string& path, const WCHAR* name, DWORD type, const std::string& data)
      : path_(path), name_(name) {
    // The first key of the path that does not exist yet is removed at the end.
    size_t at = 0;
    while (created_.empty()) {
      at = path.find('\\', at + 1);
      const std::string prefix = path.substr(0, at);
      HKEY probe = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
        RegCloseKey(probe);
      } else {
        created_ = prefix;
      }
      if (at == std::string::npos) break;
    }
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr))
        << path;
    DWORD size = 0;
    if (created_.empty() && RegQueryValueExW(key, name, nullptr, &oldType_, nullptr, &size) == ERROR_SUCCESS) {
      old_.resize(size);
      RegQueryValueExW(key, name, nullptr, &oldType_, reinterpret_cast<BYTE*>(old_.data()), &size);
      hadOld_ = true;
    }
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                            static_cast<DWORD>(data.size())));
    RegCloseKey(key);
  }
  ~ScopedValue() {
    if (!created_.empty()) {
      DeleteTree(HKEY_LOCAL_MACHINE, created_);
      return;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    if (hadOld_) {
      RegSetValueExW(key, name_.c_str(), 0, oldType_, reinterpret_cast<const BYTE*>(old_.data()),
                     static_cast<DWORD>(old_.size()));
    } else {
      RegDeleteValueW(key, name_.c_str());
    }
    RegCloseKey(key);
  }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  std::string path_;
  WString name_;
  std::string created_;
  bool hadOld_ = false;
  DWORD oldType_ = 0;
  std::string old_;
};

class Components : public testing::Test {
 protected:
  // A file of the scratch folder with a version resource (or none).
  WString File(const WCHAR* name, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    const WString path = machine_.ScratchFolder() + W("\\") + name;
    EXPECT_TRUE(TestMachine::WriteFile(path, VersionedModuleImage(a, b, c, d)));
    return path;
  }
  WString Missing(const WCHAR* name) { return machine_.ScratchFolder() + W("\\") + name; }

  void Report() {
    recorder_.Clear();
    ReportEnvironment report(&ReportRecorder::Sink);
    report.ReportEnvironmentVersions();
  }

  TestMachine machine_;
  ReportRecorder recorder_;
  std::vector<std::unique_ptr<ScopedValue>> values_;
  void Set(const std::string& path, const WCHAR* name, const WString& text) {
    values_.push_back(std::make_unique<ScopedValue>(path, name, REG_SZ, TextBytes(text)));
  }
};

constexpr const char* kClsid = "SOFTWARE\\Classes\\CLSID\\";
const std::string kXml6 = std::string(kClsid) + "{88d96a06-f192-11d4-a65f-0040963251e5}\\InprocServer32";
const std::string kXml4 = std::string(kClsid) + "{88d969c1-f192-11d4-a65f-0040963251e5}\\InprocServer32";
const std::string kXml3 = std::string(kClsid) + "{f5078f33-c551-11d3-89b9-0000f81fe221}\\InprocServer32";
const std::string kAdo = std::string(kClsid) + "{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32";

TEST_F(Components, TcpIpProviderMdacAndAdoVersions) {
  const WString tcpip = File(W("tcpip-provider.dll"), 6, 1, 7601, 17514);
  const WString ado = File(W("ado-library.dll"), 6, 1, 7601, 23403);
  Set("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider", W("ProviderPath"), tcpip);
  Set("SOFTWARE\\Microsoft\\DataAccess", W("FullInstallVer"), W("6.1.7601.17514"));
  Set(kAdo, W(""), ado);
  Report();
  EXPECT_EQ(std::vector<std::string>{"[ENV] TCP/IP provider (Winsock) File Version: 6.1.7601.17514 (" + NarrowAscii(tcpip) + ")"},
            recorder_.Messages("[ENV] TCP/IP provider"));
  EXPECT_EQ(std::vector<std::string>{"[ENV] MDAC version: 6.1.7601.17514"}, recorder_.Messages("[ENV] MDAC"));
  EXPECT_EQ(std::vector<std::string>{"[ENV] MSADO15.DLL: " + NarrowAscii(ado) + ", Version: 6.1.7601.23403"},
            recorder_.Messages("[ENV] MSADO15.DLL"));
  // An ADO key naming a file without a version gives the fixed text.
  values_.pop_back();
  Set(kAdo, W(""), Missing(W("gone.dll")));
  Report();
  EXPECT_EQ(std::vector<std::string>{"[ENV] Unable to find MSADO15.DLL Version information"},
            recorder_.Messages("[ENV] Unable to find MSADO15"));
}

TEST_F(Components, FirstXmlParserWithAVersionIsTheOneReported) {
  const WString xml4 = File(W("xml4-parser.dll"), 4, 30, 2100, 0);
  const WString xml3 = File(W("xml3-parser.dll"), 8, 110, 7600, 16385);
  Set(kXml6, W(""), Missing(W("xml6-parser.dll")));
  Set(kXml4, W(""), xml4);
  Set(kXml3, W(""), xml3);
  Report();
  EXPECT_EQ(std::vector<std::string>{"[ENV] Microsoft XML Parser 4.0: " + NarrowAscii(xml4) + ", Version: 4.30.2100.0"},
            recorder_.Messages("[ENV] Microsoft XML Parser"));
  // Without 4.0's file, 3.0; without any, the fixed text.
  Set(kXml4, W(""), Missing(W("msxml4-removed.dll")));
  Report();
  EXPECT_EQ(std::vector<std::string>{"[ENV] Microsoft XML Parser 3.0: " + NarrowAscii(xml3) + ", Version: 8.110.7600.16385"},
            recorder_.Messages("[ENV] Microsoft XML Parser"));
  Set(kXml3, W(""), Missing(W("msxml3-removed.dll")));
  Report();
  EXPECT_TRUE(recorder_.Messages("[ENV] Microsoft XML Parser").empty());
  EXPECT_EQ(1u, recorder_.Messages("[ENV] Unable to find Microsoft XML Parser Version information").size());
}

TEST_F(Components, WinsockCatalogReportsAtMostFiftyEntries) {
  const std::string parameters = "SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
  Set(parameters, W("Current_NameSpace_Catalog"), W("KvtrTestCatalog"));
  const std::string entries = parameters + "\\KvtrTestCatalog\\Catalog_Entries";
  const WString library = File(W("namespace-provider.dll"), 10, 0, 19041, 1);
  const WString missing = Missing(W("nolibrary.dll"));
  std::vector<std::string> expected;
  for (int i = 1; i <= 60; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%012d", i);
    const std::string entry = entries + "\\" + name;
    const WString display = W("Provider ") + WidenAscii(std::to_string(i));
    Set(entry, W("DisplayString"), display);
    if (i == 3) continue;  // no library path: skipped
    const WString& path = i % 2 == 1 ? library : missing;
    Set(entry, W("LibraryPath"), path);
    if (i > 50) continue;
    expected.push_back("[ENV] Winsock2 file: " + NarrowAscii(display) +
                       (i % 2 == 1 ? ", Version: 10.0.19041.1 (" : " (") + NarrowAscii(path) + ")");
  }
  Report();
  EXPECT_EQ(expected, recorder_.Messages("[ENV] Winsock2 file: "));
  values_.clear();
  DeleteTree(HKEY_LOCAL_MACHINE, parameters + "\\KvtrTestCatalog");
}

TEST_F(Components, AddressesNeedWinsockAndAreTheResolvers) {
  Report();
  const bool wineAnswers = recorder_.Messages("[ENV] Unable to provide HostName").empty() &&
                           WineDiffers("gethostname works before WSAStartup");
  if (!wineAnswers) {
    EXPECT_EQ(std::vector<std::string>{"[ENV] Unable to provide HostName "},
              recorder_.Messages("[ENV] Unable to provide HostName"));
  }
  WSADATA data{};
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
  Report();
  char name[256] = {};
  ASSERT_EQ(0, gethostname(name, sizeof name));
  const hostent* host = gethostbyname(name);
  ASSERT_NE(nullptr, host);
  std::vector<std::string> expected;
  for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(*entry);
    expected.push_back("[ENV] Local machine IP Address = " + std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) +
                       "." + std::to_string(bytes[2]) + "." + std::to_string(bytes[3]));
  }
  EXPECT_EQ(expected, recorder_.Messages("[ENV] Local machine IP Address = "));
  EXPECT_TRUE(recorder_.Messages("[ENV] Unable to provide HostName").empty());
  EXPECT_EQ(0, WSACleanup());
}

// ---- OLE DB providers ----

const std::vector<WString> kProviders = {W("SQLNCLI10"), W("SQLNCLI 10"), W("sqloledb"), W("MSDASQL")};

// Runs `body` on a new thread in the given COM state (-1: no COM).
template <typename Body>
void OnThread(int apartment, Body body) {
  std::thread thread([&] {
    const bool com = apartment >= 0;
    if (com) {
      ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, static_cast<DWORD>(apartment))));
    }
    body();
    if (com) CoUninitialize();
  });
  thread.join();
}

TEST(OleDbProviders, NamesDecideTheSqlLines) {
  ReportRecorder recorder;
  OnThread(COINIT_MULTITHREADED, [&] {
    RegisteredSourceEnumerator enumerator({kProviders});
    ASSERT_TRUE(enumerator.registered());
    EXPECT_EQ(kProviders, environment::provider_list(&ReportRecorder::Sink));
    EXPECT_TRUE(recorder.Lines().empty());
    // The name column is bound as wide text with its status.
    const DBBINDING binding = RegisteredSourceEnumerator::LastBinding();
    EXPECT_EQ(environment::kSourcesNameColumn, binding.iOrdinal);
    EXPECT_EQ(DBTYPE_WSTR, binding.wType);
    EXPECT_EQ(static_cast<DBPART>(DBPART_VALUE | DBPART_STATUS), binding.dwPart);
    TestMachine machine;
    ReportEnvironment report(&ReportRecorder::Sink);
    report.ReportEnvironmentVersions();
  });
  std::vector<std::string> available;
  for (const ReportedLine& line : recorder.Lines()) {
    if (line.message.find("provider is available") != std::string::npos) available.push_back(line.message);
  }
  EXPECT_EQ((std::vector<std::string>{"[ENV] SQLCLI provider is available: [SQLNCLI10]",
                                      "[ENV] MSSQL OLEDB provider is available: [SQLOLEDB]"}),
            available);
  EXPECT_EQ(0, RegisteredSourceEnumerator::LiveObjects());
}

TEST(OleDbProviders, ThreadWithoutComIsToldToInitialize) {
  ReportRecorder recorder;
  OnThread(-1, [&] { EXPECT_TRUE(environment::provider_list(&ReportRecorder::Sink).empty()); });
  const std::vector<ReportedLine> lines = recorder.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("CoInitialize has not been called. [-2147221008]", lines[0].message);
  EXPECT_EQ(4, lines[0].level);
  EXPECT_EQ("provider_list", lines[0].function);
}

TEST(OleDbProviders, SingleThreadedApartmentFailsTheProbeAndStillEnumerates) {
  ReportRecorder recorder;
  OnThread(COINIT_APARTMENTTHREADED, [&] {
    RegisteredSourceEnumerator enumerator({kProviders});
    ASSERT_TRUE(enumerator.registered());
    EXPECT_EQ(kProviders, environment::provider_list(&ReportRecorder::Sink));
  });
  const std::vector<ReportedLine> lines = recorder.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("An error occurred during enumerating OLE DB providers - failure during COM initialization. [0]",
            lines[0].message);
  EXPECT_EQ(0, RegisteredSourceEnumerator::LiveObjects());
}

TEST(OleDbProviders, FailuresGiveTheirLinesAndWhatWasGathered) {
  ReportRecorder recorder;
  OnThread(COINIT_MULTITHREADED, [&] {
    {
      RegisteredSourceEnumerator failing({kProviders, E_FAIL});
      EXPECT_TRUE(environment::provider_list(&ReportRecorder::Sink).empty());
      EXPECT_EQ(0, RegisteredSourceEnumerator::LiveObjects());
    }
    {
      // A fault in the provider keeps the names read before it.
      RegisteredSourceEnumerator faulting({kProviders, S_OK, 2});
      EXPECT_EQ((std::vector<WString>{W("SQLNCLI10"), W("SQLNCLI 10")}),
                environment::provider_list(&ReportRecorder::Sink));
      // The fault abandoned the frames that held the enumerator and its
      // rowset, as a guarded region does: they are lost, not released.
      EXPECT_EQ(2, RegisteredSourceEnumerator::DestroyAbandoned());
    }
  });
  std::vector<std::string> messages;
  for (const ReportedLine& line : recorder.Lines()) messages.push_back(line.message);
  EXPECT_EQ((std::vector<std::string>{"An error occurred during enumerating OLE DB providers. [-2147467259]",
                                      "Cannot get list of OLE DB providers [0]"}),
            messages);
}

TEST(ComInitializerTest, ModesStatusesAndTheExceptionText) {
  OnThread(-1, [] {
    environment::ComInitializer deferred(COINIT_MULTITHREADED, /*deferred=*/true, true);
    EXPECT_FALSE(deferred.initialized());
    deferred.Initialize(COINIT_MULTITHREADED, true);
    EXPECT_TRUE(deferred.initialized());
    EXPECT_EQ(S_OK, deferred.status());
    // The same mode again makes no call; the other one is refused.
    deferred.Initialize(COINIT_MULTITHREADED, true);
    EXPECT_EQ(S_OK, deferred.status());
    environment::ComInitializer quiet(COINIT_APARTMENTTHREADED, /*deferred=*/false, /*raiseOnFailure=*/false);
    EXPECT_FALSE(quiet.initialized());
    EXPECT_EQ(RPC_E_CHANGED_MODE, quiet.status());
    try {
      environment::ComInitializer raising(COINIT_APARTMENTTHREADED, false, true);
      ADD_FAILURE() << "no exception";
    } catch (const environment::init_exception& failure) {
      EXPECT_EQ(RPC_E_CHANGED_MODE, failure.status());
      EXPECT_STREQ(
          "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
          "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
          failure.what());
    }
    // A refused mode change leaves the object uninitialised: a retry calls
    // again (S_FALSE: the thread is still in its first mode), and the
    // earlier initialisation is undone with the later one.
    deferred.Initialize(COINIT_APARTMENTTHREADED, /*raiseOnFailure=*/false);
    EXPECT_FALSE(deferred.initialized());
    EXPECT_EQ(RPC_E_CHANGED_MODE, deferred.status());
    deferred.Initialize(COINIT_MULTITHREADED, true);
    EXPECT_TRUE(deferred.initialized());
    EXPECT_EQ(S_FALSE, deferred.status());
    // A second initialisation of the same thread answers S_FALSE and counts.
    environment::ComInitializer second(COINIT_MULTITHREADED, false, true);
    EXPECT_EQ(S_FALSE, second.status());
    second.Uninitialize();
    EXPECT_FALSE(second.initialized());
    deferred.Uninitialize();
    // Uninitialised, the thread has no COM.
    IUnknown* object = nullptr;
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(environment::kOleDbEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)));
  });
}

}  // namespace
}  // namespace kvtr::test
