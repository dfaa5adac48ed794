// The debugger output on the POSIX layer: a file that every call appends to
// (Linux only: the file is the layer's stand-in for a debugger; under Wine a
// test reads the output as a debugger, see the symbol engine's tests).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/emulation.h"
#include "support/child_processes.h"
#include "support/test_machine.h"

namespace kvtr::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class DebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("KVTR_DEBUG_OUTPUT"); }
  void TearDown() override { unsetenv("KVTR_DEBUG_OUTPUT"); }
  std::string PrefixLog() const { return std::string(KvtrEmu_Prefix()) + "/debug-output.log"; }
  TestMachine machine_;
};

TEST_F(DebugOutput, EachTextIsAppendedAsGivenToThePrefixOrTheNamedFile) {
  SetLastError(kSentinel);
  OutputDebugStringA("Symbols Path: ");
  OutputDebugStringA("C:\\Work;C:\\App");
  OutputDebugStringA("\n");
  OutputDebugStringA("");
  OutputDebugStringA(nullptr);
  OutputDebugStringA("caf\xc3\xa9\r\n");
  EXPECT_EQ(kSentinel, GetLastError());
  EXPECT_EQ("Symbols Path: C:\\Work;C:\\App\ncaf\xc3\xa9\r\n", ReadAll(PrefixLog()));

  const std::string named = std::string(KvtrEmu_Prefix()) + "/named.log";
  setenv("KVTR_DEBUG_OUTPUT", named.c_str(), 1);
  OutputDebugStringA("elsewhere");
  EXPECT_EQ("elsewhere", ReadAll(named));
  EXPECT_EQ("Symbols Path: C:\\Work;C:\\App\ncaf\xc3\xa9\r\n", ReadAll(PrefixLog()));

  // A file that cannot be made loses the text and nothing else happens.
  setenv("KVTR_DEBUG_OUTPUT", (std::string(KvtrEmu_Prefix()) + "/no-such-folder/x.log").c_str(), 1);
  SetLastError(kSentinel);
  OutputDebugStringA("lost");
  EXPECT_EQ(kSentinel, GetLastError());
}

// Four processes with four threads each write lines of up to 6 KB: every
// line arrives whole, and each writer's lines in their order.
TEST_F(DebugOutput, TextsOfThreadsAndProcessesNeverInterleave) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  const std::string log = PrefixLog();
  const std::vector<int> statuses = RunInChildren(kProcesses, [&](int process) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([process, t] {
        for (int n = 0; n < kLines; ++n) {
          std::string line = std::to_string(process) + " " + std::to_string(t) + " " + std::to_string(n) + " ";
          line.append(static_cast<size_t>((n * 61 + t * 17) % 6000), static_cast<char>('a' + t));
          line += "\n";
          OutputDebugStringA(line.c_str());
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    return 0;
  });
  EXPECT_EQ(std::vector<int>(kProcesses, 0), statuses);

  std::istringstream lines(ReadAll(log));
  std::map<std::pair<int, int>, int> next;
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    int process = -1, thread = -1, n = -1;
    std::string filler;
    fields >> process >> thread >> n;
    std::getline(fields, filler);
    int& expected = next[std::make_pair(process, thread)];
    ASSERT_EQ(expected, n) << "writer " << process << "/" << thread;
    ++expected;
    const size_t length = static_cast<size_t>((n * 61 + thread * 17) % 6000);
    ASSERT_EQ(" " + std::string(length, static_cast<char>('a' + thread)), filler) << line.substr(0, 40);
    ++count;
  }
  EXPECT_EQ(kProcesses * kThreads * kLines, count);
}

}  // namespace
}  // namespace kvtr::test
