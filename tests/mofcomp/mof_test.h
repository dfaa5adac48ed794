// The fixture of the MOF compiler tests: a fresh machine with an empty
// repository and a compiler object reached through CoCreateInstance (the
// registered COM server under Wine), plus helpers to compile text and to
// read the repository and the autorecover list.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/mof_server.h"
#include "platform/mofcomp/mof_status.h"
#include "platform/mofcomp/wmi_repository.h"
#include "support/test_machine.h"

namespace kvtr::test {

// "0x80041002", for readable failures.
std::string Hex(HRESULT code);

// The outcome of one compilation in one comparable line:
// "result=1 phase=3 hr=0x80041002 object=1 lines=2-2".
struct Outcome {
  HRESULT result = 0;
  WBEM_COMPILE_STATUS_INFO info{};
  std::string Text() const;
};
// The line an expected failure gives.
std::string Failure(LONG phase, HRESULT code, LONG object = 0, LONG first = 0, LONG last = 0);
inline const std::string kSuccess = "result=0 phase=0 hr=0x00000000 object=0 lines=0-0";

class MofTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes `text` to a new file in the scratch folder and compiles it.
  Outcome Compile(std::string_view text, LONG options = 0, const WCHAR* nameSpace = nullptr, LONG classFlags = 0);
  Outcome CompilePath(const WString& path, LONG options = 0, const WCHAR* nameSpace = nullptr, LONG classFlags = 0,
                      LONG instanceFlags = 0);
  // CompileBuffer of `bytes` exactly as given (size = bytes.size()).
  Outcome CompileBytes(std::string_view bytes, LONG options = 0, const WCHAR* nameSpace = nullptr);
  // A file in the scratch folder holding `bytes`; returns its path.
  WString WriteMof(const std::string& name, std::string_view bytes);

  // "Name:Superclass" of each class of a namespace; {"<none>"} when the
  // namespace does not exist.
  std::vector<std::string> Classes(const WCHAR* nameSpace = W("root\\cimv2"));
  bool HasClass(const std::string& name, const WCHAR* nameSpace = W("root\\cimv2"));

  // Raw bytes of HKLM\SOFTWARE\Microsoft\WBEM\CIMOM "Autorecover MOFs";
  // "<missing>" when there is no such value.
  std::string AutorecoverBytes();
  std::vector<WString> AutorecoverEntries();
  void SetAutorecoverBytes(std::string_view bytes);

  TestMachine machine_;
  MofServer server_;
  IMofCompiler* compiler_ = nullptr;
  int files_ = 0;

 private:
  void ForgetRepository();
  std::string savedAutorecover_;
  bool comInitialized_ = false;
};

// UTF-16 text as the bytes of a REG_MULTI_SZ / a UTF-16LE file.
std::string WideBytes(WStringView text);

// Classes of the emulated machine's own root\cimv2, always there.
inline const std::vector<std::string> kBuiltinCimv2 = {
    "CIM_StatisticalInformation:", "Win32_Perf:CIM_StatisticalInformation", "Win32_PerfRawData:Win32_Perf",
    "Win32_PerfFormattedData:Win32_Perf"};

}  // namespace kvtr::test
