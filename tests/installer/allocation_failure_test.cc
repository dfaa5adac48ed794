// Memory running out at any moment of any export: the nth allocation of
// the call fails, for every n the call makes, on a machine-shaped registry.
// Nothing crashes, no exception leaves the export, and every shared list is
// exactly as before or exactly as the whole call leaves it.
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "installer/export_barrier.h"
#include "installer/installer_test.h"
#include "installer/machine_shape.h"
#include "installer/qel_wmi.h"
#include "support/failing_allocator.h"

namespace kvtr::test {
namespace {

constexpr const char* kCimom = "SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr const char* kSharedDlls = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const PerflibService kBefore{"Other Before", 40, 50, 41, 51};
const PerflibService kTarget{"Zorvane Server", 52, 60, 53, 61};
const PerflibService kAfter{"Other After", 62, 70, 63, 71};

// Counts reports without allocating: the callback must not fail itself.
int g_reports = 0;
extern "C" void __cdecl CountReport(int, void*, void*, void*, const WCHAR*, const char*, int, void*) { ++g_reports; }

using Lists = std::map<std::string, std::string>;

// Bytes of a list as its entries, for a failure message.
std::string Describe(const std::string& bytes) {
  if (bytes == "<missing>") return bytes;
  std::string text = "{";
  for (const WString& entry : DecodeMultiString(bytes)) text += " \"" + NarrowAscii(entry) + "\"";
  return text + " }";
}

std::string Describe(const std::set<std::string>& states) {
  std::string text;
  for (const std::string& state : states) text += "\n  " + Describe(state);
  return text;
}

class AllocationFailure : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    installer::SetLog(nullptr, &CountReport);
    folder_ = PlaceProductMofs();
  }

  std::vector<std::string> Languages() const {
    if (WineDiffers("Perflib\\009 is a virtual key")) return {"007", "00C"};
    return {"009", "007"};
  }

  // The shared lists: the autorecover list, every language's counter and
  // help list, and every entry of the shared-DLL list.
  Lists Snapshot() const {
    Lists lists{{"autorecover", ValueBytes(kCimom, W("Autorecover MOFs"))}};
    for (const std::string& language : Languages()) {
      const std::string path = std::string(kPerflibPath) + "\\" + language;
      lists[language + " Counter"] = ValueBytes(path, W("Counter"));
      lists[language + " Help"] = ValueBytes(path, W("Help"));
    }
    for (const WCHAR* dll : {W("C:\\Windows\\system32\\QMTPerfInfo.dll"), W("C:\\Windows\\system32\\other.dll")}) {
      lists["shared " + NarrowAscii(dll)] = ValueBytes(kSharedDlls, dll);
    }
    return lists;
  }

  // The machine every call starts from: other products' entries in every
  // list, the legacy product's records, the product's classes installed.
  // Written whole once; afterwards only what a call changed is put back, so
  // that thousands of runs stay quick.
  void Prepare(bool withClasses) {
    if (machine_.empty()) {
      SetAutorecoverEntries({W("C:\\Windows\\system32\\wbem\\cimwin32.mof"), folder_ + W("\\AgentWMIPerf.mof"),
                             W("D:\\Other\\product.mof")});
      PerflibShape(Languages(), 12, {kBefore, kTarget, kAfter}).Write();
      SetDword(kSharedDlls, W("C:\\Windows\\system32\\QMTPerfInfo.dll"), 2);
      SetDword(kSharedDlls, W("C:\\Windows\\system32\\other.dll"), 1);
      SetText("Software\\Classes\\CLSID\\{5D0B9F27-6E13-4A8C-B7F4-2C39E8A1D064}\\InprocServer32", W(""),
              W("QMTPerfInfo.dll"));
      MakeKey("SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance");
      AddComponent("S-1-5-18", "0A1B2C3D4E5F60718293A4B5C6D7E8F9", W("11111111111111111111111111111111"),
                   W("C:\\Windows\\system32\\QMTPerfInfo.dll"));
      for (const char* tree : {kCimom, kPerflibPath, kSharedDlls, kUserDataPath,
                               "Software\\Classes\\CLSID\\{5D0B9F27-6E13-4A8C-B7F4-2C39E8A1D064}",
                               "SYSTEM\\CurrentControlSet\\Services\\Zorvane Router",
                               "SYSTEM\\CurrentControlSet\\Services\\Zorvane Server",
                               "SYSTEM\\CurrentControlSet\\Services\\Other Before",
                               "SYSTEM\\CurrentControlSet\\Services\\Other After"}) {
        Record(tree);
      }
    }
    // Compiling adds to the autorecover list; the list is put back below.
    if (withClasses) {
      const std::pair<const WCHAR*, const WCHAR*> kClasses[] = {
          {W("Win32_PerfRawData_Zorvane_Router_Client"), W("\\RouterClientPerf.mof")},
          {W("Win32_PerfRawData_Zorvane_Router_Session"), W("\\RouterSessionPerf.mof")},
          {W("Win32_PerfRawData_Zorvane_Agent"), W("\\AgentWMIPerf.mof")},
      };
      for (const auto& [className, file] : kClasses) {
        if (!ClassExists(className)) {
          ASSERT_TRUE(qel_wmi::CompileMOFile((folder_ + file).c_str()));
        }
      }
    }
    for (const Stored& stored : machine_) {
      if (!stored.name) {
        if (!KeyExists(stored.path)) MakeKey(stored.path);
      } else if (ValueBytes(stored.path, stored.name->c_str()) != stored.bytes) {
        SetRaw(stored.path, stored.name->c_str(), stored.type, stored.bytes);
      }
    }
  }

  // A key or a value of the machine as first written.
  struct Stored {
    std::string path;
    std::optional<WString> name;  // none for a key
    DWORD type = 0;
    std::string bytes;
  };

  // Records `path` with its values and subkeys, keys before their values.
  void Record(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) << path;
    machine_.push_back({path, std::nullopt, 0, {}});
    std::vector<std::string> children;
    char child[256];
    for (DWORD i = 0; RegEnumKeyA(key, i, child, sizeof child) == ERROR_SUCCESS; ++i) children.push_back(child);
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD length = 256, type = 0;
      if (RegEnumValueW(key, i, name, &length, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
      machine_.push_back({path, WString(name, length), type, ValueBytes(path, name)});
    }
    RegCloseKey(key);
    for (const std::string& name : children) Record(path + "\\" + name);
  }

  static void SetRaw(const std::string& path, const WCHAR* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size())));
    RegCloseKey(key);
  }

  // Fails every allocation of `call` in turn. A list may end in any state
  // a part of the call can leave: as before, as the whole call leaves it,
  // or as after one of `partial` (each a sequence of the call's own
  // complete edits, applied to the machine the call starts from).
  using Edits = std::vector<std::function<void()>>;
  void Sweep(const char* name, bool withClasses, const std::function<int()>& call,
             const std::vector<Edits>& partial = {}) {
    SCOPED_TRACE(name);
    std::map<std::string, std::set<std::string>> allowed;
    auto allow = [&] {
      for (const auto& [list, bytes] : Snapshot()) allowed[list].insert(bytes);
    };
    Prepare(withClasses);
    ASSERT_FALSE(HasFatalFailure());
    allow();
    for (const Edits& edits : partial) {
      Prepare(withClasses);
      for (const auto& edit : edits) edit();
      allow();
    }
    Prepare(withClasses);
    const uint64_t start = AllocationCount();
    call();
    const uint64_t allocations = AllocationCount() - start;
    allow();
    ASSERT_GT(allocations, 0u);
    uint64_t failed = 0;
    for (uint64_t nth = 1; nth <= allocations; ++nth) {
      Prepare(withClasses);
      FailAllocation(nth);
      call();
      failed += AllocationFailed() ? 1 : 0;
      FailAllocation(0);
      for (const auto& [list, bytes] : Snapshot()) {
        ASSERT_TRUE(allowed[list].count(bytes) == 1)
            << list << " damaged when allocation " << nth << " of " << allocations << " failed: "
            << Describe(bytes) << " is none of " << Describe(allowed[list]);
      }
    }
    EXPECT_GT(failed, allocations / 2) << "the failures must happen inside the call";
    RecordProperty(name, static_cast<int>(allocations));
  }

  WString folder_;
  std::vector<Stored> machine_;
};

TEST_F(AllocationFailure, InstallingTheClasses) {
  Sweep("InstRouter", false, [&] { return installer::exported::InstRouter(folder_.c_str()); },
        {{[&] { qel_wmi::CompileMOFile((folder_ + W("\\RouterClientPerf.mof")).c_str()); }}});
  Sweep("InstAgent", false, [&] { return installer::exported::InstAgent(folder_.c_str()); });
}

TEST_F(AllocationFailure, RemovingTheClasses) {
  Sweep("UnInstRouter", true, [] { return installer::exported::UnInstRouter(); },
        {{[] { qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_Zorvane_Router_Client"), nullptr); }},
         {[] { qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_Zorvane_Router_Session"), nullptr); }}});
  Sweep("UnInstAgent", true, [] { return installer::exported::UnInstAgent(); });
}

TEST_F(AllocationFailure, RemovingTheLegacyCounters) {
  Sweep("RemoveOldCounters", false, [] { return installer::exported::RemoveOldCounters(); });
}

TEST_F(AllocationFailure, RemovingAServicesCounterNames) {
  Sweep("UnInstOldCounters", false, [] { return installer::exported::UnInstOldCounters(W("Zorvane Server")); });
}

}  // namespace
}  // namespace kvtr::test
