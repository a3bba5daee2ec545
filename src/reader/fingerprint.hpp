// Fingerprints of a file's bytes: 64-bit digests of small windows, taken
// through the descriptor a read reads with, so that a later read of the same
// path can tell whether the bytes an earlier one returned are still in the
// file. A follower and a Dataset keep them between reads; the windows are a
// few KiB in all, so checking them costs a few small reads whatever the size
// of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "failure/memory.hpp"
#include "reader/rows.hpp"

namespace novrel::reader {

class PlotFile;

struct Window {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t digest = 0;
};

// Not cryptographic: it tells a rewritten file from the one read, not a
// forged one from the true one. A change confined to one aligned 8-byte word
// always changes it; any other change does except with odds of about 2^-64.
// The same on every machine, so that a digest travels to other processes.
std::uint64_t digest_of(std::span<const char> bytes) noexcept;

// The digest of the `length` bytes at `offset`; nullopt where the file ends
// before their end. A failed read throws ReadError (os_error).
std::optional<std::uint64_t> digest_at(const PlotFile& file, std::uint64_t offset,
                                       std::uint64_t length);

// The first of `windows` whose bytes in `file` no longer give its digest.
std::optional<std::size_t> first_changed(const PlotFile& file, std::span<const Window> windows);

// The windows that vouch for a read, in this order: the header and names
// [0, names_end) whole; then, over the blocks' bytes [begin, end), the first
// block and the last block (which ends at `end`) whole, but at most
// kBlockBytes of each and at least kEdgeBytes where there are as many, with
// kSpreadWindows of kSpreadBytes spaced evenly between; fewer where the bytes
// are fewer. `first_end` and `last_begin` are where those blocks end and
// begin; 0 where not known.
inline constexpr std::uint64_t kBlockBytes = 64u << 10;
inline constexpr std::uint64_t kEdgeBytes = 1024;
inline constexpr std::uint64_t kSpreadBytes = 256;
inline constexpr std::size_t kSpreadWindows = 4;
failure::Vec<Window> windows_over(const PlotFile& file, std::uint64_t names_end,
                                  std::uint64_t begin, std::uint64_t end,
                                  std::uint64_t first_end = 0, std::uint64_t last_begin = 0);

// One read of a file by path, checked against windows of earlier reads:
// before it reads and again after, through its own descriptor, so that a
// rewrite while it reads is caught too.
struct CheckedRead {
  PlotRows rows;  // where `changed`, none: only the source's size, device and inode
  std::optional<std::size_t> changed;  // the first window of `expected` whose bytes changed
  failure::Vec<Window> taken;          // windows_over what this read returned
};

// Throws what read_plot_rows throws, except a ReadError of a file whose
// windows changed meanwhile: the change is what is reported then, as it is
// most likely the cause. A ReadError of a file whose size changed while it
// was read is believed only on the third such read.
CheckedRead read_checked(std::string_view path, const RowOptions& options,
                         std::span<const Window> expected);

}  // namespace novrel::reader
