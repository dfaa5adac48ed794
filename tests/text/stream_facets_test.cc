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

std::locale With(StreamCodeCvt* facet) { return std::locale(std::locale::classic(), facet); }
const StreamCodeCvt& FacetOf(const std::locale& locale) { return std::use_facet<StreamCodeCvt>(locale); }

struct OutCase {
  WString units;
  size_t room;
  Result result;
  size_t consumed;
  std::string bytes;
};

struct InCase {
  std::string bytes;
  size_t room;
  Result result;
  size_t consumed;
  WString units;
};

void ExpectOut(const StreamCodeCvt& facet, const OutCase& c) {
  std::mbstate_t state{};
  char buffer[32];
  const wchar* fromNext = nullptr;
  char* toNext = nullptr;
  const Result result = facet.out(state, c.units.data(), c.units.data() + c.units.size(), fromNext, buffer,
                                  buffer + c.room, toNext);
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.consumed, static_cast<size_t>(fromNext - c.units.data()));
  EXPECT_EQ(c.bytes, std::string(buffer, toNext));
}

void ExpectIn(const StreamCodeCvt& facet, const InCase& c) {
  std::mbstate_t state{};
  wchar buffer[32];
  const char* fromNext = nullptr;
  wchar* toNext = nullptr;
  const Result result = facet.in(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), fromNext, buffer,
                                 buffer + c.room, toNext);
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.consumed, static_cast<size_t>(fromNext - c.bytes.data()));
  EXPECT_EQ(c.units, WString(buffer, toNext));
}

const auto ok = std::codecvt_base::ok;
const auto partial = std::codecvt_base::partial;
const auto error = std::codecvt_base::error;

TEST(UTF8StreamFacet, EncodesUnitsAndPairs) {
  const std::locale locale = With(new UTF8StreamCodeCvtFacet);
  const OutCase cases[] = {
      {{0x00E9}, 32, ok, 1, "\xC3\xA9"},
      {{0xD83D, 0xDE00}, 32, ok, 2, "\xF0\x9F\x98\x80"},
      {{0xDC00}, 32, ok, 1, "\xED\xB0\x80"},
      {{0xD83D, 'A'}, 32, ok, 2, "\xED\xA0\xBD" "A"},
      {{'A', 0x07FF, 0x0800, 0xFFFF}, 32, ok, 4, "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {{'A', 0xD83D}, 32, partial, 2, "A"},  // the high half waits in the state
      {{'A', 0x00E9}, 2, partial, 1, "A"},
      {{0xD83D, 0xDE00}, 3, partial, 0, ""},
  };
  for (const OutCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectOut(FacetOf(locale), c);
  }
}

TEST(UTF8StreamFacet, APairSplitBetweenTwoCallsStaysOnePair) {
  const std::locale locale = With(new UTF8StreamCodeCvtFacet);
  const StreamCodeCvt& facet = FacetOf(locale);
  const wchar high = 0xD83D;
  struct Next {
    WString units;
    std::string bytes;  // of the second call, or of unshift when units is empty
  };
  for (const Next& next : {Next{{0xDE00, 'x'}, "\xF0\x9F\x98\x80x"}, Next{{'B'}, "\xED\xA0\xBD" "B"},
                           Next{{0xD83D, 0xDE00}, "\xED\xA0\xBD\xF0\x9F\x98\x80"}, Next{{}, "\xED\xA0\xBD"}}) {
    SCOPED_TRACE(testing::PrintToString(next.bytes));
    std::mbstate_t state{};
    char buffer[16];
    const wchar* fromNext = nullptr;
    char* toNext = nullptr;
    ASSERT_EQ(partial, facet.out(state, &high, &high + 1, fromNext, buffer, buffer + 16, toNext));
    EXPECT_EQ(buffer, toNext);
    if (next.units.empty()) {
      EXPECT_EQ(partial, facet.unshift(state, buffer, buffer + 2, toNext)) << "three bytes needed";
      EXPECT_EQ(ok, facet.unshift(state, buffer, buffer + 16, toNext));
    } else {
      EXPECT_EQ(ok, facet.out(state, next.units.data(), next.units.data() + next.units.size(), fromNext, buffer,
                              buffer + 16, toNext));
    }
    EXPECT_EQ(next.bytes, std::string(buffer, toNext));
    EXPECT_EQ(std::codecvt_base::noconv, facet.unshift(state, buffer, buffer + 16, toNext)) << "nothing kept";
  }
}

TEST(UTF8StreamFacet, DecodesLegalSequencesOnly) {
  const std::locale locale = With(new UTF8StreamCodeCvtFacet);
  const InCase cases[] = {
      {"\xC3\xA9", 32, ok, 2, {0x00E9}},
      {"\xF0\x9F\x98\x80", 32, ok, 4, {0xD83D, 0xDE00}},
      {"\xED\xA0\x80", 32, ok, 3, {0xD800}},
      {"\xF4\x8F\xBF\xBF", 32, ok, 4, {0xDBFF, 0xDFFF}},
      {"\xE0\xA0\x80", 32, ok, 3, {0x0800}},
      {"\xC0\x80", 32, error, 0, {}},
      {"\xE0\x80\x80", 32, error, 0, {}},
      {"\xF0\x8F\xBF\xBF", 32, error, 0, {}},
      {"\xF4\x90\x80\x80", 32, error, 0, {}},
      {"\xF5\x80\x80\x80", 32, error, 0, {}},
      {"A\x80", 32, error, 1, {'A'}},
      {"A\xC3" "A", 32, error, 1, {'A'}},
      {"\xE2\x82", 32, partial, 0, {}},
      {"A\xF0\x9F\x98\x80", 2, partial, 1, {'A'}},  // one unit of room is not enough for a pair
      {"AB", 1, partial, 1, {'A'}},
  };
  for (const InCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectIn(FacetOf(locale), c);
  }
}

TEST(UTF16LEStreamFacet, CopiesUnitsLowByteFirst) {
  const std::locale locale = With(new UTF16LEStreamCodeCvtFacet);
  const InCase in[] = {
      {std::string("\x41\x00\x42", 3), 32, ok, 2, {0x0041}},
      {"\x42", 32, partial, 0, {}},
      {std::string("\x41\x00\x3D\xD8", 4), 1, ok, 2, {0x0041}},
      {"", 32, ok, 0, {}},
  };
  for (const InCase& c : in) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectIn(FacetOf(locale), c);
  }
  const OutCase out[] = {
      {{0x0041, 0xD83D}, 32, ok, 2, std::string("\x41\x00\x3D\xD8", 4)},
      {{0x0041, 0xD83D}, 3, partial, 1, std::string("\x41\x00", 2)},
  };
  for (const OutCase& c : out) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    ExpectOut(FacetOf(locale), c);
  }
}

TEST(StreamFacets, AnswerTheStreamsQuestions) {
  const std::locale utf8 = With(new UTF8StreamCodeCvtFacet);
  const std::locale utf16 = With(new UTF16LEStreamCodeCvtFacet);
  EXPECT_FALSE(FacetOf(utf8).always_noconv());
  EXPECT_EQ(4, FacetOf(utf8).max_length());
  EXPECT_EQ(0, FacetOf(utf8).encoding());
  EXPECT_FALSE(FacetOf(utf16).always_noconv());
  EXPECT_EQ(2, FacetOf(utf16).max_length());
  EXPECT_EQ(2, FacetOf(utf16).encoding());

  std::mbstate_t state{};
  const std::string bytes = "\x41\xC3\xA9";
  EXPECT_EQ(2, FacetOf(utf8).length(state, bytes.data(), bytes.data() + 3, 10)) << "units, not bytes";
  const char illegal[] = "A\xC0\x80";
  EXPECT_EQ(0, FacetOf(utf8).length(state, illegal, illegal + 3, 10));
  EXPECT_EQ(1, FacetOf(utf16).length(state, bytes.data(), bytes.data() + 3, 10));
  EXPECT_EQ(0, FacetOf(utf16).length(state, bytes.data(), bytes.data() + 3, 0));
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

// 20 000 characters outside the BMP spread over planes 1 to 16, with a
// BOM first (so that every buffer of the stream ends between the halves of
// a pair), a pair written in two parts around a flush, and a lone high
// surrogate last, which only the stream's close writes.
struct Sample {
  WString text;
  std::string utf8;
  std::string utf16;
};

void AddUnit(Sample& s, uint32_t unit) {
  s.text.push_back(static_cast<wchar>(unit));
  s.utf16.push_back(static_cast<char>(unit & 0xFF));
  s.utf16.push_back(static_cast<char>(unit >> 8));
}

Sample MakeSample() {
  Sample s;
  AddUnit(s, 0xFEFF);
  s.utf8 = "\xEF\xBB\xBF";
  for (uint32_t i = 0; i < 20000; ++i) {
    const uint32_t code = 0x10000 + (i * 7919u) % 0x100000;
    AddUnit(s, 0xD800 + ((code - 0x10000) >> 10));
    AddUnit(s, 0xDC00 + ((code - 0x10000) & 0x3FF));
    const char bytes[] = {static_cast<char>(0xF0 | (code >> 18)), static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((code >> 6) & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    s.utf8.append(bytes, 4);
  }
  return s;
}

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename Facet>
void WriteAndReadBack(const std::filesystem::path& file, bool utf8) {
  Sample sample = MakeSample();
  {
    std::basic_ofstream<wchar> out;
    out.imbue(With(new Facet));
    out.open(file, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.is_open());
    out.write(sample.text.data(), static_cast<std::streamsize>(sample.text.size()));
    const wchar tail[] = {0xD83D, 0xDE00, 0xD800};
    out.write(tail, 1);
    out.flush();
    out.write(tail + 1, 2);
    EXPECT_TRUE(out.good());
  }
  sample.text += WString{0xD83D, 0xDE00, 0xD800};
  const std::string expected = utf8 ? sample.utf8 + "\xF0\x9F\x98\x80\xED\xA0\x80"
                                    : sample.utf16 + std::string("\x3D\xD8\x00\xDE\x00\xD8", 6);

  const std::string bytes = ReadBytes(file);
  ASSERT_EQ(expected.size(), bytes.size());
  EXPECT_TRUE(expected == bytes) << "first difference at byte "
                                 << std::mismatch(expected.begin(), expected.end(), bytes.begin()).first -
                                        expected.begin();

  std::basic_ifstream<wchar> in;
  in.imbue(With(new Facet));
  in.open(file, std::ios::binary);
  ASSERT_TRUE(in.is_open());
  const WString read{std::istreambuf_iterator<wchar>(in), std::istreambuf_iterator<wchar>()};
  ASSERT_EQ(sample.text.size(), read.size());
  EXPECT_TRUE(sample.text == read);
}

TEST(StreamFacets, WideFileStreamsWriteAndReadTextOutsideTheBmp) {
  test::TestMachine machine;
  {
    SCOPED_TRACE("UTF-8");
    WriteAndReadBack<UTF8StreamCodeCvtFacet>(FileSystemPath(machine.ScratchFolder() + W("\\utf8.log")), /*utf8=*/true);
  }
  {
    SCOPED_TRACE("UTF-16LE");
    WriteAndReadBack<UTF16LEStreamCodeCvtFacet>(FileSystemPath(machine.ScratchFolder() + W("\\utf16.log")), /*utf8=*/false);
  }
}

}  // namespace
}  // namespace kvtr::text
