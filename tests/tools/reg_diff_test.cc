// The registry images kvtr-setup compares: reading regedit's files and
// aligning multi-string lists.
#include <gtest/gtest.h>

#include "tools/reg_diff.h"

namespace kvtr::setup {
namespace {

std::vector<WString> List(std::initializer_list<const char*> entries) {
  std::vector<WString> list;
  for (const char* entry : entries) list.push_back(FromUtf8Text(entry));
  return list;
}

std::string Shown(const std::vector<EntryChange>& changes) {
  std::string out;
  for (const EntryChange& c : changes) {
    out += (c.change == Change::kRemoved ? "-" : "+") + std::to_string(c.position) + Utf8(c.entry) + " ";
  }
  return out;
}

TEST(RegDiff, ListsAlignOnWhatTheyShare) {
  struct Case {
    std::vector<WString> before, after;
    const char* changes;
  };
  const Case cases[] = {
      {List({"a", "b", "c"}), List({"a", "b", "c"}), ""},
      {List({"a", "b", "c", "d"}), List({"a", "d"}), "-1b -2c "},
      {List({"a", "d"}), List({"a", "b", "c", "d"}), "+1b +2c "},
      {List({"a", "x", "c"}), List({"a", "y", "c"}), "-1x +1y "},
      {List({"x", "a", "b"}), List({"a", "b", "y"}), "-0x +2y "},
      {List({}), List({"a"}), "+0a "},
      {List({"a", "a", "b"}), List({"a", "b", "a"}), "-1a +2a "},
  };
  for (const Case& c : cases) EXPECT_EQ(c.changes, Shown(DiffEntries(c.before, c.after))) << Shown(DiffEntries(c.before, c.after));
}

TEST(RegDiff, RegeditFilesReadInBothEncodings) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"s\"=\"q\\\"x\\\\\"\r\n\"d\"=dword:0000002a\r\n"
      "\"m\"=hex(7):61,00,00,00,\\\r\n  62,00,00,00,00,00\r\n@=hex:01,02\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Child]\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A2]\r\n"
      "[-HKEY_LOCAL_MACHINE\\software\\a\\CHILD]\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"d\"=-\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const char c : text) utf16 += std::string{c, '\0'};
  for (const std::string& bytes : {text, utf16}) {
    RegImage image;
    std::string error;
    ASSERT_TRUE(ParseRegText(bytes, image, error)) << error;
    ASSERT_EQ(2u, image.size());  // the child removed, its sibling A2 kept
    const RegKeyImage& a = image.at(FoldedPath(FromUtf8Text("HKEY_LOCAL_MACHINE\\SOFTWARE\\A")));
    ASSERT_EQ(3u, a.values.size());
    EXPECT_EQ(FromUtf8Text("s"), a.values[0].name);
    EXPECT_EQ((std::vector<uint8_t>{'q', 0, '"', 0, 'x', 0, '\\', 0, 0, 0}), a.values[0].data);
    EXPECT_EQ(List({"a", "b"}), MultiStringEntries(a.values[1].data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), a.values[2].type);
    EXPECT_TRUE(image.count(FoldedPath(FromUtf8Text("HKEY_LOCAL_MACHINE\\SOFTWARE\\A2"))));
  }
  RegImage image;
  std::string error;
  EXPECT_FALSE(ParseRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=bogus\n", image, error));
  EXPECT_EQ("line 3: unknown value format", error);
}

}  // namespace
}  // namespace kvtr::setup
