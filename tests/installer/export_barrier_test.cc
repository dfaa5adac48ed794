// What the exports' barriers and guarded regions stop: processor faults in
// foreign code (a MOF compiler or a host callback that reads unmapped
// memory) and exceptions raised inside an export. Every export returns its
// result, the compiler object is released, and the process lives on.
#include <optional>

#include "installer/counter_installation.h"
#include "installer/counter_removal.h"
#include "installer/export_barrier.h"
#include "installer/installer_test.h"
#include "installer/qel_wmi.h"
#include "support/fake_mof_compiler.h"
#include "support/memory_pages.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVTR_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KVTR_LEAK_CHECKED 1
#endif
#ifdef KVTR_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace kvtr::test {
namespace {

class ProcessorFaults : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    compiler_.emplace();  // registered once COM is initialised
    ASSERT_TRUE(compiler_->registered());
    ScriptedAnswer fault;
    fault.raise = ScriptedAnswer::Throw::kFault;
    compiler_->Answer(fault);
  }
  void TearDown() override {
    compiler_.reset();
    InstallerTest::TearDown();
  }
  std::optional<FakeMofCompiler> compiler_;
};

TEST_F(ProcessorFaults, AFaultingCompilerFailsEachCompilationSilently) {
  const WString folder = PlaceProductMofs();
  EXPECT_EQ(-2, installer::InstRouter(folder.c_str()));
  EXPECT_EQ(-1, installer::InstAgent(folder.c_str()));
  // Each export adds its own report; the faults themselves are not reported.
  EXPECT_EQ((std::vector<WString>{W("Could not add preformance counters from ") + folder + W("\\RouterClientPerf.mof"),
                                  W("Could not add preformance counters from ") + folder + W("\\AgentWMIPerf.mof")}),
            Messages());
  EXPECT_EQ(2u, compiler_->calls().size());
  EXPECT_EQ(0, compiler_->liveObjects());
}

TEST_F(ProcessorFaults, AFaultingDeletionStillCleansTheAutorecoverList) {
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof"), W("C:\\Other\\keep.mof")});
  EXPECT_EQ(-1, installer::UnInstAgent());
  EXPECT_EQ(-5, installer::UnInstRouter());
  EXPECT_EQ(std::vector<WString>{W("C:\\Other\\keep.mof")}, AutorecoverEntries());
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(3u, compiler_->calls().size());
  EXPECT_EQ(0, compiler_->liveObjects());
}

// A host callback that crashes on every report.
extern "C" void __cdecl FaultingCallback(int, void*, void*, void*, const WCHAR*, const char*, int, void*) {
  *static_cast<volatile int*>(MemoryPages::Unmapped()) = 1;
}

// What the frames abandoned by a fault held is lost (a region's rule); the
// leak checker is told so for the calls that fault outside the compiler.
struct AbandonedFramesLeak {
#ifdef KVTR_LEAK_CHECKED
  AbandonedFramesLeak() { __lsan_disable(); }
  ~AbandonedFramesLeak() { __lsan_enable(); }
#else
  ~AbandonedFramesLeak() {}  // nothing to tell
#endif
};

TEST_F(ProcessorFaults, AFaultingCallbackEndsTheExportWithItsFailureResult) {
  installer::SetLog(nullptr, &FaultingCallback);
  AbandonedFramesLeak expected;
  const WString missing = machine_.ScratchFolder() + W("\\missing");
  // InstRouter's first report ("Cannot find MOF file") faults inside its
  // compilation region: an exception of another kind.
  EXPECT_EQ(-5, installer::exported::InstRouter(machine_.ScratchFolder().c_str()));
  // Elsewhere the fault reaches the export's barrier.
  EXPECT_EQ(-1, installer::exported::InstAgent(missing.c_str()));
  EXPECT_EQ(-1, installer::exported::UnInstOldCounters(W("")));
  EXPECT_EQ(0, installer::exported::RemoveOldCounters());
  // The process, and the callback slot, are as before.
  EXPECT_EQ(&FaultingCallback, installer::CurrentHostLog());
}

#ifndef _WIN32
// Linux only: the emulation control makes the platform refuse the locale
// that the autorecover list's comparison needs (a standard exception).
TEST_F(InstallerTest, AnExceptionInsideAnExportIsItsFailureWithOneReport) {
  struct Case {
    const char* name;
    int (*call)() noexcept;
    int failure;
  };
  const Case cases[] = {{"UnInstRouter", &installer::exported::UnInstRouter, -5},
                        {"UnInstAgent", &installer::exported::UnInstAgent, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof"), W("C:\\Counters\\RouterClientPerf.mof")});
    const std::string before = AutorecoverBytes();
    Reports().clear();
    KvtrEmu_FailCall("IsValidCodePage", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(c.failure, c.call());
    ASSERT_FALSE(Reports().empty());
    EXPECT_EQ(c.name, Reports().back().function);
    EXPECT_EQ(1, Reports().back().level);
    EXPECT_EQ(WString(W("Stopped by an exception : bad locale name .1252")), Reports().back().message);
    EXPECT_EQ(before, AutorecoverBytes());
  }
}
#endif

}  // namespace
}  // namespace kvtr::test
