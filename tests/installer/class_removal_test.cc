// Removing the performance classes: UnInstRouter, UnInstAgent, the class
// deletion through the MOF compiler and the autorecover list.
#include <algorithm>

#include "installer/counter_installation.h"
#include "installer/counter_removal.h"
#include "installer/installer_test.h"
#include "installer/qel_wmi.h"
#include "support/fake_mof_compiler.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

using installer::UnInstAgent;
using installer::UnInstRouter;

const WString kAgentClass = W("Win32_PerfRawData_Zorvane_Agent");

class ClassRemoval : public InstallerTest {};

TEST_F(ClassRemoval, UninstallingTheAgentDeletesItsClassAndItsListEntryOnly) {
  const WString folder = PlaceProductMofs();
  SetAutorecoverEntries({W("C:\\Other\\first.mof"), W("C:\\Other\\second.mof")});
  ASSERT_EQ(0, installer::InstRouter(folder.c_str()));
  ASSERT_EQ(0, installer::InstAgent(folder.c_str()));
  ASSERT_TRUE(ClassExists(kAgentClass.c_str()));

  EXPECT_EQ(-3, UnInstAgent());
  EXPECT_FALSE(ClassExists(kAgentClass.c_str()));
  EXPECT_TRUE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Client")));
  EXPECT_EQ((std::vector<WString>{W("C:\\Other\\first.mof"), W("C:\\Other\\second.mof"),
                                  folder + W("\\RouterClientPerf.mof"), folder + W("\\RouterSessionPerf.mof")}),
            AutorecoverEntries());
  EXPECT_TRUE(Messages().empty());

  // Again: the class is gone, the deletion fails; the list step still runs.
  EXPECT_EQ(-1, UnInstAgent());
  EXPECT_EQ((std::vector<WString>{W("Error [1] MOF compilation failed with error : errors occurred while storing the "
                                    "data, error code : -2147217406, object number : 1")}),
            Messages());
  EXPECT_EQ("qel_wmi::RemoveClassFromWBEM", Reports()[0].function);
  EXPECT_EQ(1, Reports()[0].level);
}

TEST_F(ClassRemoval, UninstallingTheRouterIsMinusFiveWhateverHappens) {
  const WString folder = PlaceProductMofs();
  SetAutorecoverBytes("<missing>");
  EXPECT_EQ(-5, UnInstRouter());  // neither class exists
  EXPECT_EQ(2u, Messages().size());
  ASSERT_EQ(0, installer::InstRouter(folder.c_str()));
  Reports().clear();
  EXPECT_EQ(-5, UnInstRouter());  // both exist
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Client")));
  EXPECT_FALSE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Session")));
  EXPECT_TRUE(AutorecoverEntries().empty());
  // Only the session class: the client's failure does not stop the session.
  ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\only.mof"), ReadSourceFile("mof/RouterSessionPerf.mof")));
  ASSERT_TRUE(qel_wmi::CompileMOFile((folder + W("\\only.mof")).c_str()));
  Reports().clear();
  EXPECT_EQ(-5, UnInstRouter());
  EXPECT_EQ(1u, Messages().size());
  EXPECT_FALSE(ClassExists(W("Win32_PerfRawData_Zorvane_Router_Session")));
}

TEST_F(ClassRemoval, TheDeletionTextIsTheFixedTwoLinesInA1024ByteBuffer) {
  FakeMofCompiler compiler;
  EXPECT_TRUE(qel_wmi::RemoveClassFromWBEM(kAgentClass.c_str(), installer::CurrentHostLog()));
  ASSERT_EQ(1u, compiler.calls().size());
  const FakeMofCompiler::Call& call = compiler.calls()[0];
  EXPECT_FALSE(call.file);
  EXPECT_EQ(1024, call.bufferSize);
  EXPECT_EQ(0x108, call.options);
  EXPECT_TRUE(call.nullConnection);
  const std::string text =
      "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n#pragma deleteclass(\"Win32_PerfRawData_Zorvane_Agent\",FAIL)";
  EXPECT_EQ(text, call.buffer.substr(0, text.size()));
  EXPECT_EQ(std::string(1024 - text.size(), '\0'), call.buffer.substr(text.size()));
  EXPECT_EQ(0, compiler.liveObjects());

  // A long name is cut to the buffer, which stays 1024 bytes, zero-ended.
  const WString longName(2000, 'N');
  qel_wmi::RemoveClassFromWBEM(longName.c_str(), nullptr);
  ASSERT_EQ(2u, compiler.calls().size());
  EXPECT_EQ(1024, compiler.calls()[1].bufferSize);
  EXPECT_EQ('\0', compiler.calls()[1].buffer[1023]);
}

TEST_F(ClassRemoval, AFailedDeletionIsReportedAndTheListStillCleaned) {
  FakeMofCompiler compiler;
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof"), W("C:\\Other\\keep.mof")});
  struct Case {
    ScriptedAnswer answer;
    const WCHAR* report;
  };
  const Case cases[] = {
      {{1, 3, static_cast<HRESULT>(0x80041002), 1},
       W("Error [1] MOF compilation failed with error : errors occurred while storing the data, error code : "
         "-2147217406, object number : 1")},
      // A COM failure code is no deletion.
      {{static_cast<HRESULT>(0x80004005), 0, 0, 0},
       W("Error [-2147467259] MOF compilation failed with error : no error, error code : 0, object number : 0")},
  };
  for (const Case& c : cases) {
    Reports().clear();
    compiler.Answer(c.answer);
    SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof"), W("C:\\Other\\keep.mof")});
    EXPECT_FALSE(qel_wmi::RemoveClassFromWBEM(kAgentClass.c_str(), installer::CurrentHostLog()));
    EXPECT_EQ(std::vector<WString>{c.report}, Messages());
    EXPECT_EQ(std::vector<WString>{W("C:\\Other\\keep.mof")}, AutorecoverEntries());
  }
  // An exception from the compiler is not reported; the list is cleaned.
  ScriptedAnswer raise;
  raise.raise = ScriptedAnswer::Throw::kStandard;
  compiler.Answer(raise);
  Reports().clear();
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof")});
  EXPECT_FALSE(qel_wmi::RemoveClassFromWBEM(kAgentClass.c_str(), installer::CurrentHostLog()));
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(AutorecoverEntries().empty());
  EXPECT_EQ(0, compiler.liveObjects());
}

TEST_F(ClassRemoval, AnEmptyNameIsReportedOnceAndTouchesNothing) {
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof")});
  const std::string before = AutorecoverBytes();
  EXPECT_FALSE(qel_wmi::RemoveClassFromWBEM(W(""), installer::CurrentHostLog()));
  EXPECT_FALSE(qel_wmi::RemoveClassFromWBEM(nullptr, installer::CurrentHostLog()));
  EXPECT_EQ((std::vector<WString>{W("Class name is empty"), W("Class name is empty")}), Messages());
  EXPECT_EQ(before, AutorecoverBytes());
}

TEST_F(ClassRemoval, ClassesOutsideTheTableAreDeletedAndDrawALevelTwoReport) {
  const WString folder = machine_.ScratchFolder();
  ASSERT_TRUE(TestMachine::WriteFile(folder + W("\\legacy.mof"),
                                     "#pragma namespace(\"\\\\\\\\.\\\\root\\\\cimv2\")\n"
                                     "class Win32_PerfRawData_ZorvaneServer_WMIObjects : Win32_PerfRawData { };\n"));
  ASSERT_TRUE(qel_wmi::CompileMOFile((folder + W("\\legacy.mof")).c_str()));
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof")});
  const std::string before = AutorecoverBytes();
  Reports().clear();
  EXPECT_TRUE(qel_wmi::RemoveClassFromWBEM(W("Win32_PerfRawData_ZorvaneServer_WMIObjects"), installer::CurrentHostLog()));
  EXPECT_FALSE(ClassExists(W("Win32_PerfRawData_ZorvaneServer_WMIObjects")));
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(2, Reports()[0].level);
  EXPECT_EQ("RemoveClassFromRegistry", Reports()[0].function);
  EXPECT_EQ(WString(W("Unknown class name: [Win32_PerfRawData_ZorvaneServer_WMIObjects]")), Reports()[0].message);
  EXPECT_EQ(before, AutorecoverBytes());
}

// ---- the autorecover list ----

class AutorecoverList : public InstallerTest {};

TEST_F(AutorecoverList, EveryEntryNamingTheFileIsDroppedAndTheRestKeepTheirOrder) {
  const WString longOther = W("C:\\") + WString(700, 'p') + W("\\other.mof");
  SetAutorecoverEntries({W("C:\\Windows\\system32\\wbem\\cimwin32.mof"), W("C:\\Counters\\AgentWMIPerf.mof"), longOther,
                         W("C:\\OTHER\\agentwmiperf.MOF"), W("D:\\Product\\setup.mof"),
                         W("C:\\X\\OldAgentWMIPerf.mof.bak")});
  EXPECT_TRUE(RemoveClassFromRegistry("win32_perfrawdata_zorvane_agent", installer::CurrentHostLog()));
  EXPECT_EQ(MultiStringBytes({W("C:\\Windows\\system32\\wbem\\cimwin32.mof"), longOther, W("D:\\Product\\setup.mof")}),
            AutorecoverBytes());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(AutorecoverList, AListWithoutTheFileIsNotRewritten) {
  // No terminating empty string: a rewrite would add one.
  std::string bytes = MultiStringBytes({W("C:\\Other\\one.mof")});
  bytes.resize(bytes.size() - 2);
  SetAutorecoverBytes(bytes);
  EXPECT_TRUE(RemoveClassFromRegistry("Win32_Zorvane_counter", installer::CurrentHostLog()));
  EXPECT_EQ(bytes, AutorecoverBytes());
}

TEST_F(AutorecoverList, AListOfOnlyTheFileBecomesAnEmptyList) {
  SetAutorecoverEntries({W("C:\\A\\RouterSessionPerf.mof"), W("C:\\B\\routersessionperf.mof")});
  EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Router_Session", installer::CurrentHostLog()));
  EXPECT_EQ(std::string(2, '\0'), AutorecoverBytes());
}

TEST_F(AutorecoverList, NoValueOrAValueOfAnotherTypeIsLeftAlone) {
  SetAutorecoverBytes("<missing>");
  EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", installer::CurrentHostLog()));
  EXPECT_EQ("<missing>", AutorecoverBytes());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\WBEM\\CIMOM", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const WCHAR text[] = W("C:\\x\\AgentWMIPerf.mof");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, W("Autorecover MOFs"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                          sizeof text));
  EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", installer::CurrentHostLog()));
  WCHAR back[64];
  DWORD size = sizeof back, type = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, W("Autorecover MOFs"), nullptr, &type, reinterpret_cast<BYTE*>(back), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(WString(text), WString(back));
  RegCloseKey(key);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(AutorecoverList, UnknownAndEmptyNamesAreRefused) {
  SetAutorecoverEntries({W("C:\\Counters\\AgentWMIPerf.mof")});
  const std::string before = AutorecoverBytes();
  EXPECT_FALSE(RemoveClassFromRegistry("Win32_PerfFormattedData_ZorvaneServer_WMIObjects", installer::CurrentHostLog()));
  EXPECT_FALSE(RemoveClassFromRegistry("", installer::CurrentHostLog()));
  EXPECT_FALSE(RemoveClassFromRegistry(nullptr, nullptr));
  ASSERT_EQ(2u, Reports().size());
  EXPECT_EQ(2, Reports()[0].level);
  EXPECT_EQ(WString(W("Unknown class name: [Win32_PerfFormattedData_ZorvaneServer_WMIObjects]")), Reports()[0].message);
  EXPECT_EQ(1, Reports()[1].level);
  EXPECT_EQ(WString(W("Class name is empty")), Reports()[1].message);
  EXPECT_EQ(before, AutorecoverBytes());
}

#ifndef _WIN32
// Linux only: registry calls are made to fail by the emulation control.
TEST_F(AutorecoverList, EveryFailingRegistryCallLeavesTheListWholeOrCorrectlyEdited) {
  const std::vector<WString> before{W("C:\\Windows\\system32\\wbem\\cimwin32.mof"), W("C:\\Counters\\AgentWMIPerf.mof"),
                                    W("C:\\") + WString(900, 'q') + W("\\long.mof"), W("C:\\Old\\agentwmiperf.mof"),
                                    W("D:\\Other\\product.mof")};
  const std::vector<WString> after{before[0], before[2], before[4]};
  SetAutorecoverEntries(before);
  const unsigned start = KvtrEmu_CallCount("registry");
  ASSERT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", nullptr));
  const unsigned calls = KvtrEmu_CallCount("registry") - start;
  ASSERT_EQ(MultiStringBytes(after), AutorecoverBytes());
  ASSERT_GT(calls, 3u);
  for (const DWORD status : {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_CANTWRITE),
                             static_cast<DWORD>(ERROR_FILE_NOT_FOUND)}) {
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SetAutorecoverEntries(before);
      KvtrEmu_FailCall("registry", nth, status);
      const bool result = RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", nullptr);
      const std::string list = AutorecoverBytes();
      EXPECT_TRUE(list == MultiStringBytes(before) || list == MultiStringBytes(after)) << "call " << nth;
      // A false result means the write-back failed: the list is as before.
      if (!result) {
        EXPECT_EQ(MultiStringBytes(before), list) << "call " << nth;
      }
    }
  }
}

// Linux only: code-page conversions are made to fail by the emulation control.
TEST_F(AutorecoverList, AFailedConversionOfTheFileNameNeverEmptiesTheList) {
  // Without the converted file name every entry would match.
  const std::vector<WString> before{W("C:\\Windows\\system32\\wbem\\cimwin32.mof"),
                                    W("C:\\Counters\\AgentWMIPerf.mof"), W("D:\\Other\\product.mof")};
  const std::vector<WString> after{before[0], before[2]};
  SetAutorecoverEntries(before);
  const unsigned start = KvtrEmu_CallCount("MultiByteToWideChar");
  ASSERT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", nullptr));
  const unsigned calls = KvtrEmu_CallCount("MultiByteToWideChar") - start;
  ASSERT_GT(calls, 0u);
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SetAutorecoverEntries(before);
    KvtrEmu_FailCall("MultiByteToWideChar", nth, ERROR_NO_UNICODE_TRANSLATION);
    const bool result = RemoveClassFromRegistry("Win32_PerfRawData_Zorvane_Agent", nullptr);
    const std::string list = AutorecoverBytes();
    EXPECT_TRUE(list == MultiStringBytes(before) || list == MultiStringBytes(after)) << "call " << nth;
    if (!result) {
      EXPECT_EQ(MultiStringBytes(before), list) << "call " << nth;
    }
  }
}
#endif

}  // namespace
}  // namespace kvtr::test
