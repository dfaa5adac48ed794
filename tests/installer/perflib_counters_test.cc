// UnInstOldCounters on perflib lists shaped like a real machine's: several
// languages, thousands of index/text pairs from several services, texts
// longer than 511 characters. Only the service's own pairs may ever go.
#include "installer/installer_test.h"
#include "installer/machine_shape.h"
#include "installer/perflib_counters.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::test {
namespace {

using installer::UnInstOldCounters;

const PerflibService kBefore{"Other Before", 2002, 2100, 2003, 2101};
const PerflibService kTarget{"Zorvane Server", 2102, 2200, 2103, 2201};
const PerflibService kAfter{"Other After", 2202, 2300, 2203, 2301};

// Several languages. Under Wine "009" is a virtual key backed by the
// performance text, which can be neither written nor deleted.
std::vector<std::string> Languages() {
  if (WineDiffers("Perflib\\009 is a virtual key")) return {"007", "00C", "010"};
  return {"009", "007", "00C"};
}

class PerflibCounters : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    DeleteKeyTree(kPerflibPath);
    for (const auto* service : {&kBefore, &kTarget, &kAfter}) {
      DeleteKeyTree("SYSTEM\\CurrentControlSet\\Services\\" + service->name);
    }
  }
  std::string ListBytes(const std::string& language, bool counter) {
    return ValueBytes(std::string(kPerflibPath) + "\\" + language, counter ? W("Counter") : W("Help"));
  }
  void ExpectLists(const PerflibShape& shape, const PerflibTexts& counters, const PerflibTexts& help) {
    for (const std::string& language : shape.languages()) {
      EXPECT_EQ(MultiStringBytes(shape.Entries(true, counters)), ListBytes(language, true)) << language;
      EXPECT_EQ(MultiStringBytes(shape.Entries(false, help)), ListBytes(language, false)) << language;
    }
  }
};

TEST_F(PerflibCounters, ARangeInTheMiddleLeavesEveryOtherPairOfEveryLanguage) {
  const PerflibShape shape(Languages(), 1000, {kBefore, kTarget, kAfter});
  shape.Write();
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  ExpectLists(shape, PerflibShape::Without(shape.counters(), 2102, 2200),
              PerflibShape::Without(shape.help(), 2103, 2201));
  EXPECT_FALSE(KeyExists(PerflibShape::ServicePath("Zorvane Server")));
  EXPECT_TRUE(KeyExists(PerflibShape::ServicePath("Other After")));
  // The perflib's own highest indexes are kept.
  EXPECT_EQ(std::string("\xFC\x08\0\0", 4), ValueBytes(kPerflibPath, W("Last Counter")));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(PerflibCounters, PaddedListsAreEditedAsTheUnpaddedOnes) {
  // Zero units behind a list's terminator are padding: the service's pairs
  // go exactly as from the unpadded list, and no empty entries appear.
  const PerflibShape shape(Languages(), 300, {kBefore, kTarget, kAfter});
  shape.Write();
  for (const std::string& language : shape.languages()) {
    const std::string path = std::string(kPerflibPath) + "\\" + language;
    for (bool counter : {true, false}) {
      const WCHAR* name = counter ? W("Counter") : W("Help");
      std::string bytes = ValueBytes(path, name) + std::string(6, '\0');
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key));
      ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                              static_cast<DWORD>(bytes.size())));
      RegCloseKey(key);
    }
  }
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  ExpectLists(shape, PerflibShape::Without(shape.counters(), 2102, 2200),
              PerflibShape::Without(shape.help(), 2103, 2201));
}

TEST_F(PerflibCounters, ARangeAtTheEndIsRemovedToTheEnd) {
  const PerflibShape shape(Languages(), 500, {kBefore, kTarget});
  shape.Write();
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  ExpectLists(shape, PerflibShape::Without(shape.counters(), 2102, 2200),
              PerflibShape::Without(shape.help(), 2103, 2201));
}

TEST_F(PerflibCounters, PairsAfterAGapInTheNumberingAreNeverErased) {
  // The next service starts well above the end marker (2202), so no entry
  // equals it; its pairs must survive all the same.
  const PerflibService gapped{"Other After", 2400, 2500, 2401, 2501};
  const PerflibShape shape(Languages(), 300, {kBefore, kTarget, gapped});
  shape.Write();
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  ExpectLists(shape, PerflibShape::Without(shape.counters(), 2102, 2200),
              PerflibShape::Without(shape.help(), 2103, 2201));
}

TEST_F(PerflibCounters, ALanguageWithoutTheRangeIsNotRewritten) {
  const PerflibShape shape({"00C"}, 200, {kBefore, kTarget, kAfter});
  shape.Write();
  // "007" lists only the system objects, without a final terminator, so a
  // rewrite would show.
  const PerflibShape other({"007"}, 200, {});
  std::string bytes = MultiStringBytes(other.Entries(true, other.counters()));
  bytes.resize(bytes.size() - 2);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kPerflibPath) + "\\007").c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegSetValueExW(key, W("Counter"), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  const std::string empty(2, '\0');
  RegSetValueExW(key, W("Help"), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(empty.data()), 2);
  RegCloseKey(key);

  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  EXPECT_EQ(bytes, ListBytes("007", true));
  EXPECT_EQ(empty, ListBytes("007", false));
  EXPECT_EQ(MultiStringBytes(shape.Entries(true, PerflibShape::Without(shape.counters(), 2102, 2200))),
            ListBytes("00C", true));
}

TEST_F(PerflibCounters, InconsistentRangesEditNothingButTheKeyStillGoes) {
  struct Case {
    PerflibService service;
  };
  const Case cases[] = {
      {{"Zorvane Server", 2102, 2400, 2103, 2201}},  // last counter above perflib's
      {{"Zorvane Server", 2102, 2200, 2203, 2201}},  // first help above last help
      {{"Zorvane Server", 2202, 2200, 2103, 2201}},  // first counter above last counter
  };
  const PerflibShape shape(Languages(), 200, {kBefore, kTarget, kAfter});
  for (const Case& c : cases) {
    shape.Write();
    const std::string path = PerflibShape::ServicePath("Zorvane Server");
    SetDword(path, W("First Counter"), c.service.firstCounter);
    SetDword(path, W("Last Counter"), c.service.lastCounter);
    SetDword(path, W("First Help"), c.service.firstHelp);
    SetDword(path, W("Last Help"), c.service.lastHelp);
    EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
    ExpectLists(shape, shape.counters(), shape.help());
    EXPECT_FALSE(KeyExists(path));
  }
}

TEST_F(PerflibCounters, AKeyWithoutValuesIsARangeFromZeroToZero) {
  const PerflibShape shape(Languages(), 200, {kBefore});
  shape.Write();
  MakeKey(PerflibShape::ServicePath("Zorvane Server"));
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  ExpectLists(shape, shape.counters(), shape.help());
  EXPECT_FALSE(KeyExists(PerflibShape::ServicePath("Zorvane Server")));
}

TEST_F(PerflibCounters, APerformanceKeyWithSubkeysStays) {
  const PerflibShape shape(Languages(), 100, {kTarget});
  shape.Write();
  MakeKey(PerflibShape::ServicePath("Zorvane Server") + "\\Extra");
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  EXPECT_TRUE(KeyExists(PerflibShape::ServicePath("Zorvane Server")));
  ExpectLists(shape, PerflibShape::Without(shape.counters(), 2102, 2200),
              PerflibShape::Without(shape.help(), 2103, 2201));
}

TEST_F(PerflibCounters, AnExistingEmptyListIsLeftUnchanged) {
  const PerflibShape shape({"007"}, 0, {kTarget});
  shape.Write();
  SetList(std::string(kPerflibPath) + "\\007", W("Counter"), {});
  EXPECT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  EXPECT_EQ(std::string(2, '\0'), ListBytes("007", true));
}

TEST_F(PerflibCounters, AServiceNameTooLongForThePathTouchesNothing) {
  const PerflibShape shape(Languages(), 100, {kTarget});
  shape.Write();
  // 34 + 65 = 99 characters: cut there, the path names the service's own
  // main key, which must survive with everything in it.
  const std::string name(65, 'S');
  const std::string mainKey = "SYSTEM\\CurrentControlSet\\Services\\" + name;
  SetDword(mainKey + "\\Performance", W("First Counter"), 2102);
  SetDword(mainKey, W("Start"), 2);
  EXPECT_EQ(-2, UnInstOldCounters(WidenAscii(name).c_str()));
  EXPECT_EQ((std::vector<WString>{W("Cannot find: {") + WidenAscii(mainKey) + W("} ")}), Messages());
  EXPECT_TRUE(KeyExists(mainKey + "\\Performance"));
  ExpectLists(shape, shape.counters(), shape.help());

  // 60 characters: the path is cut inside "\Performance".
  Reports().clear();
  const std::string sixty(60, 'x');
  EXPECT_EQ(-2, UnInstOldCounters(WidenAscii(sixty).c_str()));
  const std::string cut = ("SYSTEM\\CurrentControlSet\\Services\\" + sixty + "\\Performance").substr(0, 99);
  EXPECT_EQ((std::vector<WString>{W("Cannot find: {") + WidenAscii(cut) + W("} ")}), Messages());
}

TEST_F(PerflibCounters, RefusalsAreReportedAndChangeNothing) {
  EXPECT_EQ(-3, UnInstOldCounters(W("")));
  EXPECT_EQ(-3, UnInstOldCounters(nullptr));
  // Wine's Perflib key cannot be removed (its "009" is virtual).
  const bool perflibRemoved = !KeyExists(kPerflibPath);
  if (perflibRemoved) {
    EXPECT_EQ(-1, UnInstOldCounters(W("Zorvane Server")));
  } else {
    EXPECT_TRUE(WineDiffers("Perflib\\009 is a virtual key"));
  }
  const PerflibShape shape(Languages(), 50, {kBefore});
  shape.Write();
  EXPECT_EQ(-2, UnInstOldCounters(W("Zorvane Server")));
  std::vector<WString> expected{W("Application name is empty"), W("Application name is empty")};
  if (perflibRemoved) expected.push_back(W("Cannot open: {SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib} "));
  expected.push_back(W("Cannot find: {SYSTEM\\CurrentControlSet\\Services\\Zorvane Server\\Performance} "));
  EXPECT_EQ(expected, Messages());
  for (const Report& report : Reports()) {
    EXPECT_EQ(1, report.level);
    EXPECT_EQ("UnInstOldCounters", report.function);
  }
  ExpectLists(shape, shape.counters(), shape.help());
}

#ifndef _WIN32
// Linux only: registry calls are made to fail by the emulation control.
TEST_F(PerflibCounters, EveryFailingRegistryCallLeavesEachListWholeOrCorrectlyEdited) {
  const PerflibShape shape(Languages(), 150, {kBefore, kTarget, kAfter});
  const PerflibTexts counters = PerflibShape::Without(shape.counters(), 2102, 2200);
  const PerflibTexts help = PerflibShape::Without(shape.help(), 2103, 2201);
  shape.Write();
  const unsigned before = KvtrEmu_CallCount("registry");
  ASSERT_EQ(0, UnInstOldCounters(W("Zorvane Server")));
  const unsigned calls = KvtrEmu_CallCount("registry") - before;
  ASSERT_GT(calls, 20u);
  for (const DWORD status : {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_CANTWRITE)}) {
    for (unsigned nth = 1; nth <= calls; ++nth) {
      shape.Write();
      KvtrEmu_FailCall("registry", nth, status);
      const int result = UnInstOldCounters(W("Zorvane Server"));
      EXPECT_TRUE(result == 0 || result == -1 || result == -2) << nth;
      for (const std::string& language : shape.languages()) {
        const std::string counterList = ListBytes(language, true);
        const std::string helpList = ListBytes(language, false);
        EXPECT_TRUE(counterList == MultiStringBytes(shape.Entries(true, shape.counters())) ||
                    counterList == MultiStringBytes(shape.Entries(true, counters)))
            << "call " << nth << " language " << language;
        EXPECT_TRUE(helpList == MultiStringBytes(shape.Entries(false, shape.help())) ||
                    helpList == MultiStringBytes(shape.Entries(false, help)))
            << "call " << nth << " language " << language;
      }
      EXPECT_EQ(std::string("\xFC\x08\0\0", 4), ValueBytes(kPerflibPath, W("Last Counter"))) << nth;
    }
  }
}
#endif

}  // namespace
}  // namespace kvtr::test
