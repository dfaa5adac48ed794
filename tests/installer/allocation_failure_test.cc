// Memory running out at any moment of any export: the nth allocation of
// the call fails, for every n the call makes, on a machine-shaped registry.
// Nothing crashes, no exception leaves the export, and every shared list is
// exactly as before or exactly as the whole call leaves it.
#include <functional>
#include <map>

#include "installer/export_barrier.h"
#include "installer/installer_test.h"
#include "installer/machine_shape.h"
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
  void Prepare(bool withClasses) {
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
    if (withClasses) {
      ASSERT_EQ(0, installer::exported::InstRouter(folder_.c_str()));
      ASSERT_EQ(0, installer::exported::InstAgent(folder_.c_str()));
    }
  }

  // Fails every allocation of `call` in turn.
  void Sweep(const char* name, bool withClasses, const std::function<int()>& call) {
    SCOPED_TRACE(name);
    Prepare(withClasses);
    const Lists before = Snapshot();
    const uint64_t start = AllocationCount();
    call();
    const uint64_t allocations = AllocationCount() - start;
    const Lists after = Snapshot();
    ASSERT_GT(allocations, 0u);
    uint64_t failed = 0;
    for (uint64_t nth = 1; nth <= allocations; ++nth) {
      Prepare(withClasses);
      FailAllocation(nth);
      call();
      failed += AllocationFailed() ? 1 : 0;
      FailAllocation(0);
      const Lists lists = Snapshot();
      for (const auto& [list, bytes] : lists) {
        ASSERT_TRUE(bytes == before.at(list) || bytes == after.at(list))
            << list << " damaged when allocation " << nth << " of " << allocations << " failed";
      }
    }
    EXPECT_GT(failed, allocations / 2) << "the failures must happen inside the call";
    RecordProperty(name, static_cast<int>(allocations));
  }

  WString folder_;
};

TEST_F(AllocationFailure, InstallingTheClasses) {
  Sweep("InstRouter", false, [&] { return installer::exported::InstRouter(folder_.c_str()); });
  Sweep("InstAgent", false, [&] { return installer::exported::InstAgent(folder_.c_str()); });
}

TEST_F(AllocationFailure, RemovingTheClasses) {
  Sweep("UnInstRouter", true, [] { return installer::exported::UnInstRouter(); });
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
