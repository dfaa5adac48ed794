// The legacy cleanup: the installer component lookup, COM registration
// removal and RemoveOldCounters with its level-4 reports.
#include <cstring>

#include "installer/component_lookup.h"
#include "installer/installer_test.h"
#include "installer/legacy_counters.h"
#include "installer/machine_shape.h"
#include "installer/qel_wmi.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

constexpr const char* kSystemScope = "S-1-5-18";
constexpr const char* kUserScope = "S-1-5-21-1004336348-1177238915-682003330-512";
constexpr const char* kRouterDll = "ZorvaneRouterPerf.dll";
constexpr const WCHAR* kRouterReport = W("Delete ZorvaneRouterPerf.dll from [%s]");
const GUID kRouterClass = {0x3C7E1A52, 0x8B40, 0x4F1D, {0x9E, 0x26, 0x71, 0xA0, 0xC4, 0xD5, 0xB8, 0xE3}};
const GUID kAgentClass = {0x5D0B9F27, 0x6E13, 0x4A8C, {0xB7, 0xF4, 0x2C, 0x39, 0xE8, 0xA1, 0xD0, 0x64}};
const std::string kRouterClassKey = "Software\\Classes\\CLSID\\{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}";
const std::string kAgentClassKey = "Software\\Classes\\CLSID\\{5D0B9F27-6E13-4A8C-B7F4-2C39E8A1D064}";

class LegacyCleanup : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    DeleteKeyTree(kUserDataPath);
    DeleteKeyTree(kRouterClassKey);
    DeleteKeyTree(kAgentClassKey);
    DeleteKeyTree("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
    for (const char* service : {"Zorvane Router", "Zorvane Server"}) {
      for (const char* set : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
        DeleteKeyTree(std::string("SYSTEM\\") + set + "\\Services\\" + service);
      }
    }
    // Other products' records, in both scopes.
    AddComponent(kSystemScope, "0A1B2C3D4E5F60718293A4B5C6D7E8F9", W("11111111111111111111111111111111"),
                 W("C:\\Program Files\\Other\\other.dll"));
    AddComponent(kUserScope, "F0E1D2C3B4A5968778695A4B3C2D1E0F", W("22222222222222222222222222222222"),
                 W("C:\\Users\\x\\AppData\\tool.exe"));
  }
  std::string Lookup(const char* dll) {
    char found[installer::kFoundPathBytes];
    std::memset(found, 0, sizeof found);
    installer::RemoveComponentRegistration(dll, "qel_wmi::RemoveOldRouterCounters", kRouterReport,
                                           installer::CurrentHostLog(), found);
    return found;
  }
  WString SystemDirectoryFile(const WCHAR* name) {
    WCHAR expanded[MAX_PATH];
    ExpandEnvironmentStringsW((WString(W("%windir%\\system32\\")) + name).c_str(), expanded, MAX_PATH);
    return expanded;
  }
};

TEST_F(LegacyCleanup, TheFirstMatchingComponentOfTheFirstScopeIsDroppedAndItsPathReturned) {
  const WString installed = W("D:\\Custom\\Router\\ZorvaneRouterPerf.dll");
  AddComponent(kSystemScope, "5C1E0A7D2B3F4E6A8C9D0B1A2F3E4D5C", W("33333333333333333333333333333333"), installed);
  AddComponent(kSystemScope, "5C1E0A7D2B3F4E6A8C9D0B1A2F3E4D5C", W("44444444444444444444444444444444"),
               W("C:\\elsewhere\\x.dll"));
  AddComponent(kSystemScope, "9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F", W("55555555555555555555555555555555"),
               W("E:\\Second\\ZorvaneRouterPerf.dll"));
  EXPECT_EQ(NarrowAscii(installed), Lookup(kRouterDll));
  const std::string dropped = ComponentPath(kSystemScope, "5C1E0A7D2B3F4E6A8C9D0B1A2F3E4D5C");
  EXPECT_FALSE(KeyExists(dropped));
  EXPECT_TRUE(KeyExists(ComponentPath(kSystemScope, "9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F9F"))) << "only the first match";
  EXPECT_TRUE(KeyExists(ComponentPath(kSystemScope, "0A1B2C3D4E5F60718293A4B5C6D7E8F9")));
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(4, Reports()[0].level);
  EXPECT_EQ(W("Delete ZorvaneRouterPerf.dll from [") + WidenAscii(dropped) + W("]"), Reports()[0].message);
}

TEST_F(LegacyCleanup, OnlyTheFirstScopeIsSearchedAndLetterCaseCounts) {
  AddComponent(kUserScope, "1111AAAA2222BBBB3333CCCC4444DDDD", W("66666666666666666666666666666666"),
               W("C:\\Program Files\\Kestovar\\ZorvaneRouterPerf.dll"));
  AddComponent(kSystemScope, "7777AAAA2222BBBB3333CCCC4444DDDD", W("77777777777777777777777777777777"),
               W("C:\\lower\\zorvanerouterperf.dll"));
  EXPECT_EQ("", Lookup(kRouterDll));
  EXPECT_TRUE(KeyExists(ComponentPath(kUserScope, "1111AAAA2222BBBB3333CCCC4444DDDD")));
  EXPECT_TRUE(KeyExists(ComponentPath(kSystemScope, "7777AAAA2222BBBB3333CCCC4444DDDD")));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(LegacyCleanup, ExpandableRecordsAreExpandedAndOtherTypesIgnored) {
  AddComponent(kSystemScope, "0000000000000000000000000000000A", W("88888888888888888888888888888888"), W("x"), REG_SZ);
  SetDword(ComponentPath(kSystemScope, "0000000000000000000000000000000A"), W("99999999999999999999999999999999"), 7);
  AddComponent(kSystemScope, "0000000000000000000000000000000B", W("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"),
               W("%windir%\\system32\\ZorvaneRouterPerf.dll"), REG_EXPAND_SZ);
  EXPECT_EQ(NarrowAscii(SystemDirectoryFile(W("ZorvaneRouterPerf.dll"))), Lookup(kRouterDll));
}

TEST_F(LegacyCleanup, NoScopeOrNoComponentListFindsNothing) {
  DeleteKeyTree(kUserDataPath);
  MakeKey(kUserDataPath);
  EXPECT_EQ("", Lookup(kRouterDll));
  MakeKey(std::string(kUserDataPath) + "\\" + kSystemScope + "\\Products");
  EXPECT_EQ("", Lookup(kRouterDll));
  EXPECT_TRUE(Reports().empty());
}

#ifndef _WIN32
// Linux only: the component key is made undeletable by the emulation control.
TEST_F(LegacyCleanup, AnUndeletableMatchIsSkippedForTheNextOne) {
  AddComponent(kSystemScope, "1000000000000000000000000000000A", W("BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB"),
               W("C:\\First\\ZorvaneRouterPerf.dll"));
  AddComponent(kSystemScope, "1000000000000000000000000000000A", W("CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC"),
               W("C:\\FirstAgain\\ZorvaneRouterPerf.dll"));
  AddComponent(kSystemScope, "2000000000000000000000000000000B", W("DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD"),
               W("C:\\Second\\ZorvaneRouterPerf.dll"));
  ASSERT_TRUE(KvtrEmu_DenyKeyAccess(HKEY_LOCAL_MACHINE,
                                    ComponentPath(kSystemScope, "1000000000000000000000000000000A").c_str(), DELETE));
  EXPECT_EQ("C:\\Second\\ZorvaneRouterPerf.dll", Lookup(kRouterDll));
  EXPECT_TRUE(KeyExists(ComponentPath(kSystemScope, "1000000000000000000000000000000A")));
  EXPECT_FALSE(KeyExists(ComponentPath(kSystemScope, "2000000000000000000000000000000B")));
}
#endif

TEST_F(LegacyCleanup, WithoutACallbackTheRecordIsStillDropped) {
  installer::SetLog(nullptr, nullptr);
  AddComponent(kSystemScope, "3000000000000000000000000000000C", W("EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE"),
               W("C:\\Quiet\\ZorvaneRouterPerf.dll"));
  EXPECT_EQ("C:\\Quiet\\ZorvaneRouterPerf.dll", Lookup(kRouterDll));
  EXPECT_FALSE(KeyExists(ComponentPath(kSystemScope, "3000000000000000000000000000000C")));
}

TEST_F(LegacyCleanup, UnregisteringAClassRemovesItsWholeKey) {
  SetText(kRouterClassKey, nullptr, W("Zorvane router performance"));
  SetText(kRouterClassKey + "\\InprocServer32", nullptr, W("C:\\x\\ZorvaneRouterPerf.dll"));
  SetText(kRouterClassKey + "\\InprocServer32\\Deeper", W("v"), W("1"));
  MakeKey("Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}");
  EXPECT_TRUE(qel_wmi::UnregisterCOM(kRouterClass, installer::CurrentHostLog()));
  EXPECT_FALSE(KeyExists(kRouterClassKey));
  EXPECT_TRUE(KeyExists("Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}"));
  // A class without a key is unregistered already.
  EXPECT_TRUE(qel_wmi::UnregisterCOM(kAgentClass, installer::CurrentHostLog()));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(LegacyCleanup, AMachineThatNeverHadTheLegacyProductGetsEveryReport) {
  TestMachine::RemoveTree(W("C:\\Program Files\\Kestovar"));
  DeleteFileW(SystemDirectoryFile(W("QMTPerfInfo.dll")).c_str());
  EXPECT_EQ(0, installer::RemoveOldCounters());
  const std::vector<WString> router = Messages("qel_wmi::RemoveOldRouterCounters");
  ASSERT_EQ(5u, router.size());
  EXPECT_EQ(WString(W("SYSTEM\\ControlSet001\\Services\\Zorvane Router\\Performance\n")), router[0]);
  EXPECT_EQ(WString(W("SYSTEM\\ControlSet002\\Services\\Zorvane Router\\Performance\n")), router[1]);
  EXPECT_EQ(WString(W("SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance\n")), router[2]);
  EXPECT_EQ(WString(W("Removed COM registration of ZorvaneRouterPerf.dll")), router[3]);
  const WString routerDll = W("C:\\Program Files\\Kestovar\\Zorvanex\\Router\\ZorvaneRouterPerf.dll");
  EXPECT_EQ(0u, router[4].find(W("Cannot delete: ") + routerDll + W(", 3: "))) << NarrowAscii(router[4]);

  const std::vector<WString> agent = Messages("qel_wmi::RemoveOldAgentCounters");
  ASSERT_EQ(7u, agent.size());
  EXPECT_EQ(WString(W("SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\Performance\n")), agent[2]);
  EXPECT_EQ(WString(W("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\n")), agent[3]);
  EXPECT_EQ(WString(W("Removed COM registration of QMTPerfInfo.dll")), agent[4]);
  EXPECT_EQ(W("Cannot delete: ") + SystemDirectoryFile(W("QMTPerfInfo.dll")), agent[5]);
  EXPECT_EQ(0u, agent[6].find(W("Cannot delete: C:\\Windows\\system32\\QMTPerfInfo.dll, 2: ")))
      << NarrowAscii(agent[6]);
  for (const Report& report : Reports()) {
    if (report.function.find("RemoveOld") != std::string::npos) {
      EXPECT_EQ(4, report.level);
      EXPECT_EQ(&installer::g_wmiContext, report.context);
    }
  }
  // The two legacy WMI classes are not there to delete: each draws the
  // deletion failure and the unknown-class report.
  EXPECT_EQ(2u, Messages("qel_wmi::RemoveClassFromWBEM").size());
  EXPECT_EQ(2u, Messages("RemoveClassFromRegistry").size());
}

TEST_F(LegacyCleanup, AnInstalledLegacyProductIsRemovedFromWhereItWasRecorded) {
  const WString routerDll = machine_.ScratchFolder() + W("\\Router\\ZorvaneRouterPerf.dll");
  const WString agentDll = SystemDirectoryFile(W("QMTPerfInfo.dll"));
  ASSERT_TRUE(TestMachine::MakeFolder(machine_.ScratchFolder() + W("\\Router")));
  ASSERT_TRUE(TestMachine::WriteFile(routerDll, "legacy"));
  ASSERT_TRUE(TestMachine::WriteFile(agentDll, "legacy"));
  AddComponent(kSystemScope, "AB00000000000000000000000000000A", W("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), routerDll);
  for (const char* set : {"ControlSet001", "CurrentControlSet"}) {
    SetText(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Router\\Performance", W("Library"), routerDll);
    SetText(std::string("SYSTEM\\") + set + "\\Services\\Zorvane Server\\Performance", W("Library"), agentDll);
  }
  SetText("SYSTEM\\CurrentControlSet\\Services\\Zorvane Router", W("ImagePath"), W("router.exe"));
  SetText(kRouterClassKey + "\\InprocServer32", nullptr, routerDll);
  SetText(kAgentClassKey + "\\InprocServer32", nullptr, agentDll);
  const std::string sharedDlls = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  // The agent's record names a path that no longer exists; its shared-DLL
  // value, spelled in other letter case, goes all the same.
  AddComponent(kSystemScope, "CD00000000000000000000000000000B", W("ABABABABABABABABABABABABABABABAB"),
               W("D:\\Legacy\\QMTPerfInfo.dll"));
  SetDword(sharedDlls, W("d:\\legacy\\qmtperfinfo.dll"), 1);
  SetDword(sharedDlls, W("C:\\WINDOWS\\SYSTEM32\\QMTPERFINFO.DLL"), 2);
  SetDword(sharedDlls, W("C:\\Windows\\system32\\msvcr71.dll"), 4);
  SetDword(sharedDlls, W("C:\\Other\\QMTPerfInfo.dll.config"), 1);

  EXPECT_EQ(0, installer::RemoveOldCounters());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(routerDll.c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(agentDll.c_str()));
  EXPECT_FALSE(KeyExists("SYSTEM\\CurrentControlSet\\Services\\Zorvane Router\\Performance"));
  EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Services\\Zorvane Router")) << "only its Performance key goes";
  EXPECT_FALSE(KeyExists(kRouterClassKey));
  EXPECT_FALSE(KeyExists(kAgentClassKey));
  EXPECT_FALSE(KeyExists(ComponentPath(kSystemScope, "AB00000000000000000000000000000A")));
  // The shared-DLL list keeps its key and every other file's value.
  EXPECT_EQ("<missing>", ValueBytes(sharedDlls, W("D:\\Legacy\\QMTPerfInfo.dll")));
  EXPECT_FALSE(KeyExists(ComponentPath(kSystemScope, "CD00000000000000000000000000000B")));
  EXPECT_EQ("<missing>", ValueBytes(sharedDlls, W("C:\\WINDOWS\\SYSTEM32\\QMTPERFINFO.DLL")));
  EXPECT_EQ(std::string("\4\0\0\0", 4), ValueBytes(sharedDlls, W("C:\\Windows\\system32\\msvcr71.dll")));
  EXPECT_EQ(std::string("\1\0\0\0", 4), ValueBytes(sharedDlls, W("C:\\Other\\QMTPerfInfo.dll.config")));

  const std::vector<WString> router = Messages("qel_wmi::RemoveOldRouterCounters");
  ASSERT_EQ(5u, router.size());
  EXPECT_EQ(0u, router[0].find(W("Delete ZorvaneRouterPerf.dll from [")));
  EXPECT_EQ(WString(W("Removed COM registration of ZorvaneRouterPerf.dll")), router.back());
  for (const WString& message : Messages()) EXPECT_EQ(WString::npos, message.find(W("Cannot delete"))) << NarrowAscii(message);
}

TEST_F(LegacyCleanup, WithoutACallbackEveryStepStillRuns) {
  installer::SetLog(nullptr, nullptr);
  SetText(kAgentClassKey + "\\InprocServer32", nullptr, W("x"));
  SetText("SYSTEM\\ControlSet002\\Services\\Zorvane Server\\Performance", W("Library"), W("x"));
  EXPECT_EQ(0, installer::RemoveOldCounters());
  EXPECT_FALSE(KeyExists(kAgentClassKey));
  EXPECT_FALSE(KeyExists("SYSTEM\\ControlSet002\\Services\\Zorvane Server\\Performance"));
  EXPECT_TRUE(Reports().empty());
}

}  // namespace
}  // namespace kvtr::test
