// The MIME charset map: the machine's own database (the seeded one on the
// POSIX layer, Wine's own under Wine), and databases the tests build in a
// throw-away key, read through an open handle of that key: the database's
// path stays short enough for subkeys with the longest names.
#include "common_utils/mime/mime_charset_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::text {
namespace {

using test::WineDiffers;

class MimeCharsets : public ::testing::Test {
 protected:
  static constexpr const WCHAR* kDatabase = W("Cs");

  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, machine_.ScratchKey().c_str(), 0, KEY_ALL_ACCESS, &scratch_));
  }
  void TearDown() override { RegCloseKey(scratch_); }

  // A value of the subkey `name` of the test's database, made as needed.
  void SetValue(const WString& name, const WCHAR* valueName, DWORD type, const void* data, size_t bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(scratch_, (WString(kDatabase) + W("\\") + name).c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, valueName, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(bytes)));
    RegCloseKey(key);
  }
  void Declare(const WString& name, DWORD codePage) {
    SetValue(name, W("InternetEncoding"), REG_DWORD, &codePage, sizeof codePage);
  }
  void SetText(const WString& name, const WCHAR* valueName, const WString& text, DWORD type = REG_SZ) {
    SetValue(name, valueName, type, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  }
  void Alias(const WString& name, const WString& target) { SetText(name, W("AliasForCharset"), target); }
  void Clear() {
    ASSERT_EQ(ERROR_SUCCESS,
              test::DeleteTree(HKEY_CURRENT_USER, machine_.ScratchKey() + "\\" + NarrowAscii(kDatabase)));
  }

  // The map of the test's database.
  MimeCharsetMap Read() const { return MimeCharsetMap(scratch_, "Cs"); }

  test::TestMachine machine_;
  HKEY scratch_ = nullptr;
};

// Every name of the map with its code page, in the map's order.
using Listing = std::vector<std::pair<WString, DWORD>>;
Listing Listed(const MimeCharsetMap& map) { return {map.entries().begin(), map.entries().end()}; }

TEST(MimeCharsetDatabase, TheMachinesDatabaseDeclaresTheCommonCharsetsAndAliases) {
  test::TestMachine machine;
  const MimeCharsetMap map;
  // Wine's own database makes us-ascii and latin1 aliases of iso-8859-1 and
  // gives iso-8859-1 the code page of windows-1252; Windows keeps the ISO
  // code pages apart.
  const bool wineLatin1 = WineDiffers("Wine's MIME database maps iso-8859-1 and us-ascii to 1252");
  const struct {
    const WCHAR* name;
    DWORD codePage;
  } kCases[] = {
      {W("utf-8"), 65001},
      {W("UTF-8"), 65001},
      {W("shift_jis"), 932},
      {W("x-sjis"), 932},
      {W("csShiftJIS"), 932},
      {W("ks_c_5601-1987"), 949},
      {W("korean"), 949},
      {W("windows-1250"), 1250},
      {W("x-cp1250"), 1250},
      {W("us-ascii"), wineLatin1 ? 1252u : 20127u},
      {W("iso-8859-1"), wineLatin1 ? 1252u : 28591u},
      {W("latin1"), wineLatin1 ? 1252u : 28591u},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(std::optional<DWORD>(c.codePage), map.CodePageOf(c.name)) << NarrowAscii(c.name);
  }
  EXPECT_EQ(std::nullopt, map.CodePageOf(W("x-kvtr-no-such-charset")));
  EXPECT_GT(map.size(), 100u);
}

#ifndef _WIN32
TEST(MimeCharsetDatabase, EveryAliasOfTheSeededDatabaseResolves) {
  test::TestMachine machine;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, MimeCharsetMap::kDatabasePath, 0, KEY_READ, &key));
  DWORD subKeys = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr));
  RegCloseKey(key);
  EXPECT_GE(subKeys, 60u);
  EXPECT_EQ(subKeys, MimeCharsetMap().size()) << "an alias of the seed names no charset";
}

TEST_F(MimeCharsets, ASubkeyThatCannotBeOpenedIsSkipped) {
  // POSIX only: denying access to one key needs the emulation control.
  Declare(W("open"), 1);
  Declare(W("shut"), 2);
  Alias(W("via-shut"), W("shut"));
  const std::string shut = machine_.ScratchKey() + "\\Cs\\shut";
  ASSERT_TRUE(KvtrEmu_DenyKeyAccess(HKEY_CURRENT_USER, shut.c_str(), KEY_QUERY_VALUE));
  const MimeCharsetMap map = Read();
  EXPECT_EQ((Listing{{W("open"), 1}}), Listed(map));
}
#endif

TEST_F(MimeCharsets, AChainOfAliasesResolvesWhateverTheKeyOrder) {
  // The three aliases of a chain take the names a, m and z in every order,
  // so the chain's links come in every order of the walk.
  std::vector<WString> names = {W("a"), W("m"), W("z")};
  std::sort(names.begin(), names.end());
  do {
    SCOPED_TRACE(NarrowAscii(names[0] + W(" -> ") + names[1] + W(" -> ") + names[2] + W(" -> base")));
    Clear();
    Declare(W("base"), 1234);
    Alias(names[0], names[1]);
    Alias(names[1], names[2]);
    Alias(names[2], W("base"));
    EXPECT_EQ((Listing{{W("a"), 1234}, {W("base"), 1234}, {W("m"), 1234}, {W("z"), 1234}}), Listed(Read()));
  } while (std::next_permutation(names.begin(), names.end()));
}

TEST_F(MimeCharsets, AliasesThatNeverReachACharsetAreDropped) {
  Declare(W("charset"), 7);
  Alias(W("good"), W("charset"));
  Alias(W("self"), W("self"));
  Alias(W("p"), W("q"));
  Alias(W("q"), W("p"));
  Alias(W("r"), W("s"));
  Alias(W("s"), W("t"));
  Alias(W("t"), W("r"));
  Alias(W("into-cycle"), W("p"));
  Alias(W("dangling"), W("missing"));
  Alias(W("empty"), W(""));
  EXPECT_EQ((Listing{{W("charset"), 7}, {W("good"), 7}}), Listed(Read()));
}

TEST_F(MimeCharsets, NamesCompareAsWcsicmpDoes) {
  // Only A-Z fold, and they fold to lower case: '[' (0x5B) and '_' (0x5F)
  // sort before every letter.
  Declare(W("b"), 2);
  Declare(W("Z"), 26);
  Declare(W("_x"), 95);
  Declare(W("["), 91);
  Declare(W("A"), 1);
  const WString lowerE(1, static_cast<WCHAR>(0xE9));  // é
  const WString upperE(1, static_cast<WCHAR>(0xC9));  // É
  Declare(W("caf") + lowerE, 1252);
  Alias(W("ascii-case"), W("sHIFT_jIS"));
  Declare(W("Shift_JIS"), 932);
  Alias(W("latin-case"), W("CAF") + upperE);  // É and é are two letters to _wcsicmp
  const MimeCharsetMap map = Read();
  EXPECT_EQ((Listing{{W("["), 91},
                     {W("_x"), 95},
                     {W("A"), 1},
                     {W("ascii-case"), 932},
                     {W("b"), 2},
                     {W("caf") + lowerE, 1252},
                     {W("Shift_JIS"), 932},
                     {W("Z"), 26}}),
            Listed(map));
  EXPECT_EQ(std::optional<DWORD>(1), map.CodePageOf(W("a")));
  EXPECT_EQ(std::optional<DWORD>(932), map.CodePageOf(W("SHIFT_JIS")));
  EXPECT_EQ(std::optional<DWORD>(1252), map.CodePageOf(W("CAF") + lowerE));
  EXPECT_EQ(std::nullopt, map.CodePageOf(W("CAF") + upperE));
}

TEST_F(MimeCharsets, ValuesOfAnotherTypeAreSkipped) {
  const DWORD number = 65001;
  const BYTE bigEndian[] = {0, 0, 0xFD, 0xE9};
  Declare(W("target"), 3);
  // A charset needs a REG_DWORD code page.
  SetText(W("sz-encoding"), W("InternetEncoding"), W("65001"));
  SetValue(W("binary-encoding"), W("InternetEncoding"), REG_BINARY, &number, sizeof number);
  SetValue(W("big-endian-encoding"), W("InternetEncoding"), REG_DWORD_BIG_ENDIAN, bigEndian, sizeof bigEndian);
  // ... without one, a string alias still makes it an alias.
  SetText(W("sz-encoding-and-alias"), W("InternetEncoding"), W("65001"));
  Alias(W("sz-encoding-and-alias"), W("target"));
  // An alias needs a string.
  SetValue(W("dword-alias"), W("AliasForCharset"), REG_DWORD, &number, sizeof number);
  SetValue(W("multi-alias"), W("AliasForCharset"), REG_MULTI_SZ, W("target\0"), 8 * sizeof(WCHAR));
  // A subkey with neither value is nothing.
  SetText(W("other-values"), W("Codepage"), W("target"));
  // Both values: a charset, the alias ignored.
  Declare(W("both"), 5);
  Alias(W("both"), W("target"));
  EXPECT_EQ((Listing{{W("both"), 5}, {W("sz-encoding-and-alias"), 3}, {W("target"), 3}}), Listed(Read()));
}

TEST_F(MimeCharsets, AnAliasValueIsReadIntoTwoHundredFiftySixCharacters) {
  // A charset with the longest key name there is; an alias value that long
  // or longer is cut to it, so it resolves. A value the string read's
  // 1024-byte query buffer cannot hold (512 characters and its terminator)
  // is not read at all.
  const WString longest = WString(254, 'n') + W("z");
  Declare(longest, 4242);
  const struct {
    const char* alias;
    WString value;
    std::optional<DWORD> codePage;
  } kCases[] = {
      {"exact", longest, 4242},
      {"one-over", longest + W("x"), 4242},
      {"longest-read", longest + WString(511 - 255, 'x'), 4242},
      {"too-long-to-read", longest + WString(512 - 255, 'x'), std::nullopt},
      {"one-short", WString(254, 'n'), std::nullopt},
  };
  for (const auto& c : kCases) Alias(WidenAscii(c.alias), c.value);
  const MimeCharsetMap map = Read();
  for (const auto& c : kCases) EXPECT_EQ(c.codePage, map.CodePageOf(WidenAscii(c.alias))) << c.alias;
}

TEST_F(MimeCharsets, AMissingOrEmptyDatabaseGivesAnEmptyMap) {
  EXPECT_TRUE(MimeCharsetMap(scratch_, "Cs").empty());
  EXPECT_TRUE(MimeCharsetMap(scratch_, "Cs\\Missing").empty());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch_, "Cs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
  const MimeCharsetMap map = Read();
  EXPECT_EQ(0u, map.size());
  EXPECT_EQ(std::nullopt, map.CodePageOf(W("utf-8")));
}

}  // namespace
}  // namespace kvtr::text
