// The WMI repository of one prefix shared by several processes (Linux only:
// the processes are forked copies of this program, and the repository's
// lock is a file in the prefix's wbem folder).
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mofcomp/mof_test.h"
#include "platform/posix/emulation.h"
#include "support/child_processes.h"

namespace kvtr::test {
namespace {

namespace status = mof::status;

std::string ClassText(const std::string& name) {
  return "class " + name + " : Win32_PerfRawData\n{\n  uint32 Value;\n};\n";
}

std::string ClassName(int process, int index) {
  return "Zorvane_P" + std::to_string(process) + "_" + std::to_string(index);
}

class SharedRepository : public MofTest {};

TEST_F(SharedRepository, CompilationsInSeveralProcessesAllLand) {
  constexpr int kProcesses = 4;
  constexpr int kClassesEach = 10;
  const std::vector<int> failures = RunInChildren(kProcesses, [&](int process) {
    int failed = 0;
    for (int index = 0; index < kClassesEach; ++index) {
      failed += CompileBytes(ClassText(ClassName(process, index)), 0, W("root\\cimv2")).Text() != kSuccess;
    }
    return failed;
  });
  for (int process = 0; process < kProcesses; ++process) EXPECT_EQ(0, failures[process]) << "process " << process;
  std::vector<std::string> lost;
  for (int process = 0; process < kProcesses; ++process) {
    for (int index = 0; index < kClassesEach; ++index) {
      if (!HasClass(ClassName(process, index))) lost.push_back(ClassName(process, index));
    }
  }
  EXPECT_TRUE(lost.empty()) << lost.size() << " classes lost, the first " << lost.front();
  EXPECT_EQ(kBuiltinCimv2.size() + kProcesses * kClassesEach, Classes().size());
}

TEST_F(SharedRepository, ACompilationThatCannotTakeTheLockStoresNothing) {
  ASSERT_EQ(kSuccess, CompileBytes(ClassText("Zorvane_Before"), 0, W("root\\cimv2")).Text());
  const std::string lock = std::string(KvtrEmu_Prefix()) + "/wbem/.lock";
  ASSERT_EQ(0, unlink(lock.c_str()));
  ASSERT_EQ(0, mkdir(lock.c_str(), 0755));
  EXPECT_EQ(Failure(mof::kPhaseStore, status::kFailed),
            CompileBytes(ClassText("Zorvane_Unlocked"), 0, W("root\\cimv2")).Text());
  EXPECT_FALSE(HasClass("Zorvane_Unlocked"));
  EXPECT_TRUE(HasClass("Zorvane_Before"));
}

}  // namespace
}  // namespace kvtr::test
