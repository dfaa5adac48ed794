// The stream facets: exact bytes each way, and real wide file streams that
// write and read back text outside the BMP through them.
#include "common_utils/text/stream_facets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace kvtr::text {
namespace {

using Result = std::codecvt_base::result;
constexpr Result ok = std::codecvt_base::ok, partial = std::codecvt_base::partial, error = std::codecvt_base::error;

std::locale With(StreamCodeCvt* facet) { return std::locale(std::locale::classic(), facet); }
const StreamCodeCvt& FacetOf(const std::locale& locale) { return std::use_facet<StreamCodeCvt>(locale); }

// One conversion: `units` <-> `bytes`, with `room` units or bytes of
// destination; `consumed` counts source units or bytes.
struct Case {
  WString units;
  std::string bytes;
  size_t room;
  Result result;
  size_t consumed;
};

void ExpectOut(const StreamCodeCvt& facet, const Case& c) {
  std::mbstate_t state{};
  char buffer[32];
  const wchar* fromNext = nullptr;
  char* toNext = nullptr;
  EXPECT_EQ(c.result, facet.out(state, c.units.data(), c.units.data() + c.units.size(), fromNext, buffer,
                                buffer + c.room, toNext));
  EXPECT_EQ(c.consumed, static_cast<size_t>(fromNext - c.units.data()));
  EXPECT_EQ(c.bytes, std::string(buffer, toNext));
}

void ExpectIn(const StreamCodeCvt& facet, const Case& c) {
  std::mbstate_t state{};
  wchar buffer[32];
  const char* fromNext = nullptr;
  wchar* toNext = nullptr;
  EXPECT_EQ(c.result, facet.in(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), fromNext, buffer,
                               buffer + c.room, toNext));
  EXPECT_EQ(c.consumed, static_cast<size_t>(fromNext - c.bytes.data()));
  EXPECT_EQ(c.units, WString(buffer, toNext));
}

TEST(UTF8StreamFacet, EncodesUnitsAndPairs) {
  const std::locale utf8 = With(new UTF8StreamCodeCvtFacet);
  for (const Case& c : {
           Case{{0x00E9}, "\xC3\xA9", 32, ok, 1},
           Case{{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", 32, ok, 2},
           Case{{0xDC00}, "\xED\xB0\x80", 32, ok, 1},
           Case{{0xD83D, 'A'}, "\xED\xA0\xBD" "A", 32, ok, 2},
           Case{{'A', 0x07FF, 0x0800, 0xFFFF}, "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", 32, ok, 4},
           Case{{'A', 0xD83D}, "A", 32, partial, 2},  // the high half waits in the state
           Case{{'A', 0x00E9}, "A", 2, partial, 1},
           Case{{0xD83D, 0xDE00}, "", 3, partial, 0},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectOut(FacetOf(utf8), c);
  }
}

TEST(UTF8StreamFacet, APairSplitBetweenTwoCallsStaysOnePair) {
  const std::locale utf8 = With(new UTF8StreamCodeCvtFacet);
  const StreamCodeCvt& facet = FacetOf(utf8);
  // What follows a call that ended with a high surrogate; no units: close.
  const std::pair<WString, std::string> nexts[] = {
      {{0xDE00, 'x'}, "\xF0\x9F\x98\x80x"},
      {{'B'}, "\xED\xA0\xBD" "B"},
      {{0xD83D, 0xDE00}, "\xED\xA0\xBD\xF0\x9F\x98\x80"},
      {{}, "\xED\xA0\xBD"},
  };
  for (const auto& [units, bytes] : nexts) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    std::mbstate_t state{};
    const wchar high = 0xD83D;
    char buffer[16];
    const wchar* fromNext = nullptr;
    char* toNext = nullptr;
    ASSERT_EQ(partial, facet.out(state, &high, &high + 1, fromNext, buffer, buffer + 16, toNext));
    EXPECT_EQ(buffer, toNext);
    if (units.empty()) {
      EXPECT_EQ(partial, facet.unshift(state, buffer, buffer + 2, toNext)) << "three bytes needed";
      EXPECT_EQ(ok, facet.unshift(state, buffer, buffer + 16, toNext));
    } else {
      EXPECT_EQ(ok, facet.out(state, units.data(), units.data() + units.size(), fromNext, buffer, buffer + 16, toNext));
    }
    EXPECT_EQ(bytes, std::string(buffer, toNext));
    EXPECT_EQ(std::codecvt_base::noconv, facet.unshift(state, buffer, buffer + 16, toNext)) << "nothing kept";
  }
}

TEST(UTF8StreamFacet, DecodesLegalSequencesOnly) {
  const std::locale utf8 = With(new UTF8StreamCodeCvtFacet);
  for (const Case& c : {
           Case{{0x00E9}, "\xC3\xA9", 32, ok, 2},
           Case{{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", 32, ok, 4},
           Case{{0xD800}, "\xED\xA0\x80", 32, ok, 3},
           Case{{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF", 32, ok, 4},
           Case{{0x0800}, "\xE0\xA0\x80", 32, ok, 3},
           Case{{}, "\xC0\x80", 32, error, 0},
           Case{{}, "\xE0\x80\x80", 32, error, 0},
           Case{{}, "\xF0\x8F\xBF\xBF", 32, error, 0},
           Case{{}, "\xF4\x90\x80\x80", 32, error, 0},
           Case{{}, "\xF5\x80\x80\x80", 32, error, 0},
           Case{{'A'}, "A\x80", 32, error, 1},
           Case{{'A'}, "A\xC3" "A", 32, error, 1},
           Case{{}, "\xE2\x82", 32, partial, 0},
           Case{{'A'}, "A\xF0\x9F\x98\x80", 2, partial, 1},  // one unit of room is no room for a pair
       }) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectIn(FacetOf(utf8), c);
  }
  std::mbstate_t state{};
  const char bytes[] = "\x41\xC3\xA9" "A\xC0\x80";
  EXPECT_EQ(2, FacetOf(utf8).length(state, bytes, bytes + 3, 10)) << "units, not bytes";
  EXPECT_EQ(0, FacetOf(utf8).length(state, bytes + 3, bytes + 6, 10));
}

TEST(UTF16LEStreamFacet, CopiesUnitsLowByteFirst) {
  const std::locale utf16 = With(new UTF16LEStreamCodeCvtFacet);
  const std::string a00b("\x41\x00\x42", 3), pair("\x41\x00\x3D\xD8", 4);
  for (const Case& c : {Case{{0x0041}, a00b, 32, ok, 2}, Case{{}, "\x42", 32, partial, 0},
                        Case{{0x0041}, pair, 1, ok, 2}, Case{{}, "", 32, ok, 0}}) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectIn(FacetOf(utf16), c);
  }
  ExpectOut(FacetOf(utf16), Case{{0x0041, 0xD83D}, pair, 32, ok, 2});
  ExpectOut(FacetOf(utf16), Case{{0x0041, 0xD83D}, pair.substr(0, 2), 3, partial, 1});
  std::mbstate_t state{};
  EXPECT_EQ(1, FacetOf(utf16).length(state, a00b.data(), a00b.data() + 3, 10));
}

// ---- real file streams ----

std::filesystem::path FileSystemPath(const WString& windowsPath) {
#ifdef _WIN32
  return std::filesystem::path(windowsPath);
#else
  char host[4096];
  KvtrEmu_HostPath(windowsPath.c_str(), host, sizeof host);
  return std::filesystem::path(host);
#endif
}

// A BOM, then 20 000 characters from planes 1 to 16: after the BOM every
// buffer of the stream ends between the halves of a pair. Then a pair
// written in two parts around a flush, and a lone high surrogate, which
// only the stream's close writes.
template <typename Facet>
void WriteAndReadBack(const std::filesystem::path& file, bool utf8) {
  WString text{0xFEFF};
  std::string expected = utf8 ? "\xEF\xBB\xBF" : "\xFF\xFE";
  for (uint32_t i = 0; i < 20000; ++i) {
    const uint32_t code = 0x10000 + (i * 7919u) % 0x100000;
    const uint32_t high = 0xD800 + ((code - 0x10000) >> 10), low = 0xDC00 + ((code - 0x10000) & 0x3FF);
    text += WString{static_cast<wchar>(high), static_cast<wchar>(low)};
    const char bytes[] = {char(0xF0 | (code >> 18)), char(0x80 | ((code >> 12) & 0x3F)), char(0x80 | ((code >> 6) & 0x3F)),
                          char(0x80 | (code & 0x3F))};
    const char units[] = {char(high & 0xFF), char(high >> 8), char(low & 0xFF), char(low >> 8)};
    expected.append(utf8 ? bytes : units, 4);
  }
  const WString tail{0xD83D, 0xDE00, 0xD800};
  expected += utf8 ? std::string("\xF0\x9F\x98\x80\xED\xA0\x80") : std::string("\x3D\xD8\x00\xDE\x00\xD8", 6);
  {
    std::basic_ofstream<wchar> out;
    out.imbue(With(new Facet));
    out.open(file, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.is_open());
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.write(tail.data(), 1).flush().write(tail.data() + 1, 2);
    EXPECT_TRUE(out.good());
  }
  text += tail;

  std::ifstream raw(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
  ASSERT_EQ(expected.size(), bytes.size());
  EXPECT_EQ(0, expected.compare(bytes)) << "first difference at byte "
                                        << std::mismatch(expected.begin(), expected.end(), bytes.begin()).first -
                                               expected.begin();
  std::basic_ifstream<wchar> in;
  in.imbue(With(new Facet));
  in.open(file, std::ios::binary);
  const WString read{std::istreambuf_iterator<wchar>(in), std::istreambuf_iterator<wchar>()};
  ASSERT_EQ(text.size(), read.size());
  EXPECT_TRUE(text == read);
}

TEST(StreamFacets, WideFileStreamsWriteAndReadTextOutsideTheBmp) {
  test::TestMachine machine;
  SCOPED_TRACE("UTF-8");
  WriteAndReadBack<UTF8StreamCodeCvtFacet>(FileSystemPath(machine.ScratchFolder() + W("\\utf8.log")), /*utf8=*/true);
  SCOPED_TRACE("UTF-16LE");
  WriteAndReadBack<UTF16LEStreamCodeCvtFacet>(FileSystemPath(machine.ScratchFolder() + W("\\utf16.log")),
                                              /*utf8=*/false);
}

}  // namespace
}  // namespace kvtr::text
