// The fixture of the installer tests: a fresh machine (Linux) or a
// throw-away corner of the Wine prefix, COM initialised on the test thread,
// the MOF compiler reachable, and the host callback recording every report.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common_utils/report/host_log.h"
#include "support/mof_server.h"
#include "support/test_machine.h"

namespace kvtr::test {

struct Report {
  int level;
  std::string function;
  WString message;
  int line;
  const void* context;
  bool reservedNull;
};

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Every report since the test started.
  static std::vector<Report>& Reports();
  // The messages of the reports, optionally of one function only.
  static std::vector<WString> Messages(const char* function = nullptr);

  // A folder holding the product's four MOF files, as a setup puts them.
  WString PlaceProductMofs(const WString& folder);
  WString PlaceProductMofs() { return PlaceProductMofs(machine_.ScratchFolder() + W("\\Counters")); }

  static bool ClassExists(const WCHAR* className);
  // Deletes the product's and the legacy classes, so a test starts without.
  static void ForgetProductClasses();

  // HKLM\SOFTWARE\Microsoft\WBEM\CIMOM "Autorecover MOFs": entries, and the
  // raw bytes ("<missing>" when absent).
  static std::vector<WString> AutorecoverEntries();
  static std::string AutorecoverBytes();
  static void SetAutorecoverBytes(const std::string& bytes);
  static void SetAutorecoverEntries(const std::vector<WString>& entries);

  TestMachine machine_;
  std::unique_ptr<MofServer> server_;

 private:
  bool comInitialized_ = false;
  std::string savedAutorecover_;
};

}  // namespace kvtr::test
