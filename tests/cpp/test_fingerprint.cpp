// Fingerprints: any one byte changed changes a digest, a digest is the same
// read in chunks or whole, and a checked read reports the first window whose
// bytes changed instead of reading.
#include <gtest/gtest.h>

#include <string>

#include "reader/fingerprint.hpp"
#include "reader/source.hpp"
#include "scratch_file.hpp"

namespace {

using novrel::reader::digest_at;
using novrel::reader::digest_of;
using novrel::reader::read_checked;
using novrel::reader::Window;
using novrel::testing_support::kWorkedExample;
using novrel::testing_support::ScratchFile;

TEST(Fingerprint, EveryByteCounts) {
  std::string bytes(37, 'x');
  const std::uint64_t digest = digest_of(bytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string changed = bytes;
    changed[i] = 'y';
    EXPECT_NE(digest_of(changed), digest) << i;
  }
  EXPECT_NE(digest_of(bytes + '\0'), digest);
  // A header of many names is digested a chunk at a time.
  std::string long_text(40000, ' ');
  for (std::size_t i = 0; i < long_text.size(); i += 7)
    long_text[i] = static_cast<char>('a' + i % 26);
  const ScratchFile file(long_text);
  const novrel::reader::PlotFile opened(std::string_view(file.path()));
  EXPECT_EQ(digest_at(opened, 3, 39000), digest_of(std::string_view(long_text).substr(3, 39000)));
  EXPECT_EQ(digest_at(opened, 3, 39998), std::nullopt);  // beyond the end
}

TEST(Fingerprint, ACheckedReadReportsTheFirstChangedWindow) {
  const ScratchFile file(kWorkedExample);
  const auto first = read_checked(file.path(), {}, {});
  ASSERT_FALSE(first.changed);
  // The header and names, then the blocks' bytes, fewer than two edges.
  ASSERT_EQ(first.taken.size(), 2u);
  EXPECT_EQ(first.taken[0].length, first.rows.names_end);
  EXPECT_EQ(first.taken[1].offset + first.taken[1].length, first.rows.end_offset);
  const std::span<const Window> taken(first.taken.data(), first.taken.size());
  EXPECT_FALSE(read_checked(file.path(), {}, taken).changed);
  file.write_at(static_cast<off_t>(first.rows.end_offset) - 3, "9");  // in the last block
  const auto after = read_checked(file.path(), {}, taken);
  EXPECT_EQ(after.changed, 1u);
  EXPECT_EQ(after.rows.blocks, 0u);
}

}  // namespace
