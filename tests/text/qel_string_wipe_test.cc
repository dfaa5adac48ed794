// Nothing of a QELString's text survives in memory it released: the wide
// text, the narrow copies and the formatting buffers hold zeros when they go
// back to the allocator, which this program replaces to see each release.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "common_utils/text/qel_string.h"
#include "platform/win32.h"
#include "support/recording_allocator.h"
#include "support/test_machine.h"
#ifndef _WIN32
#include "platform/posix/emulation.h"
#endif

namespace qel {
namespace {

using kvtr::test::ReleasedBlock;
using kvtr::test::ReleasesDuring;
using Blocks = std::vector<ReleasedBlock>;

bool AllZero(const ReleasedBlock& b) {
  return std::all_of(b.bytes, b.bytes + b.size, [](unsigned char c) { return c == 0; });
}

void ExpectReleasedZeroed(const Blocks& blocks, const void* address, const char* what) {
  const auto found = std::find_if(blocks.begin(), blocks.end(), [&](const ReleasedBlock& b) { return b.address == address; });
  ASSERT_NE(blocks.end(), found) << what << " was not released";
  EXPECT_TRUE(AllZero(*found)) << what << " holds text after release (" << found->size << " bytes)";
}

// No released block holds "secret", wide or narrow.
void ExpectNoSecret(const Blocks& blocks) {
  const std::string narrow = "secret";
  const std::u16string wide = u"secret";
  const auto* wideBytes = reinterpret_cast<const unsigned char*>(wide.data());
  for (const ReleasedBlock& b : blocks) {
    const auto* end = b.bytes + b.size;
    EXPECT_EQ(end, std::search(b.bytes, end, narrow.begin(), narrow.end()));
    EXPECT_EQ(end, std::search(b.bytes, end, wideBytes, wideBytes + 2 * wide.size()));
  }
}

class QELStringWipeTest : public ::testing::Test {
  kvtr::test::TestMachine machine_;
};

TEST_F(QELStringWipeTest, EveryChangeWipesTheTextAndTheNarrowCopiesItReleases) {
  const std::pair<std::function<void(QELString&)>, bool /*releasesWide*/> changes[] = {
      {[](QELString& s) { s.Append(W("!")); }, true},
      {[](QELString& s) { s.Assign(W("other")); }, true},
      {[](QELString& s) { s.AssignNarrow("other"); }, true},
      {[](QELString& s) { s.AssignCount(W("other"), 3); }, true},
      {[](QELString& s) { s.Format(W("%d"), 1); }, true},
      {[](QELString& s) { s.FormatNarrow("%d", 1); }, true},
      {[](QELString& s) { s.Strip(3); }, false},
      // What Strip moved past the new terminator is wiped with the buffer.
      {[](QELString& s) { s.Strip(3).Assign(W("other")); }, true},
  };
  std::vector<UINT> codePages{GetACP()};  // each narrow copy this machine can make
#ifndef _WIN32
  codePages = {1252, 65001};
#endif
  for (const UINT codePage : codePages) {
#ifndef _WIN32
    ASSERT_TRUE(KvtrEmu_SetAnsiCodePage(codePage));
#endif
    for (size_t i = 0; i < std::size(changes); ++i) {
      SCOPED_TRACE("change " + std::to_string(i) + ", code page " + std::to_string(codePage));
      QELString s(W("  secret text  "));
      const kvtr::wchar* wide = s.CStr();
      const char* narrow = s.ToNarrow();
      const Blocks blocks = ReleasesDuring([&] { changes[i].first(s); });
      ExpectReleasedZeroed(blocks, narrow, "the narrow copy");
      if (changes[i].second) ExpectReleasedZeroed(blocks, wide, "the wide text");
      ExpectNoSecret(blocks);
    }
  }
}

TEST_F(QELStringWipeTest, TheDestructorWipesPastEmbeddedTerminators) {
  auto s = std::make_unique<QELString>();
  s->AssignCount(W("secret\0secret"), 13);
  const kvtr::wchar* wide = s->CStr();
  const char* narrow = s->ToNarrow();
  const Blocks blocks = ReleasesDuring([&] { s.reset(); });
  ExpectReleasedZeroed(blocks, wide, "the wide text");
  ExpectReleasedZeroed(blocks, narrow, "the narrow copy");
  ExpectNoSecret(blocks);
}

TEST_F(QELStringWipeTest, FormattingBuffersAreWipedOverTheirWholeCapacity) {
  QELString s;
  const std::pair<std::function<void()>, size_t /*buffer bytes*/> formats[] = {
      {[&] { s.Format(W("%s-%d"), W("secret"), 42); }, 1024 * sizeof(kvtr::wchar)},
      {[&] { s.FormatNarrow("%s-%d", "secret", 42); }, 1024},
  };
  for (const auto& entry : formats) {
    const size_t bytes = entry.second;
    const Blocks blocks = ReleasesDuring(entry.first);
    const auto buffers = std::count_if(blocks.begin(), blocks.end(), [&](const ReleasedBlock& b) { return b.size == bytes; });
    EXPECT_EQ(1, buffers) << bytes;
    // Only the buffers: the POSIX layer's MultiByteToWideChar releases a
    // copy of the text it converted unwiped.
    for (const ReleasedBlock& b : blocks) EXPECT_TRUE(b.size != bytes || AllZero(b));
    EXPECT_EQ(9u, s.Length());  // "secret-42"
  }
}

}  // namespace
}  // namespace qel
