#include "reader/fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <exception>

#include "failure/fatal_error.hpp"
#include "reader/read_failure.hpp"
#include "reader/source.hpp"

namespace novrel::reader {
namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;

// Little-endian whatever the machine's order, so that digests agree between
// machines.
std::uint64_t word_at(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < n; ++i) word |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return word;
}

// The same for a whole word, in one load where the machine is little-endian
// (compilers do not make the loop above one: it ran at a sixth of the speed).
std::uint64_t whole_word_at(const unsigned char* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  } else {
    return word_at(p, 8);
  }
}

// Each step is a bijection of the state for a given word, and different
// words from one state give different states, so a change of one word
// always reaches the digest.
class Digest {
 public:
  // `n` a multiple of 8 except on the last call.
  void add(const char* bytes, std::size_t n) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    length_ += n;
    for (; n >= 8; p += 8, n -= 8) mix(whole_word_at(p));
    if (n != 0) mix(word_at(p, n));
  }
  std::uint64_t finish() noexcept {
    // The length tells "ab" from "ab\0"; the final mixing spreads the last
    // word over every bit.
    std::uint64_t h = state_ ^ length_;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDu;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53u;
    return h ^ (h >> 33);
  }

 private:
  void mix(std::uint64_t word) noexcept {
    state_ = (state_ ^ word) * kMultiplier;
    state_ ^= state_ >> 32;
  }
  std::uint64_t state_ = 0x243F6A8885A308D3u;
  std::uint64_t length_ = 0;
};

// Fills `into` from `offset` on, as far as the file goes.
std::size_t fill(const PlotFile& file, char* into, std::size_t size, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const std::size_t more = file.read_some(into + got, size - got, offset + got);
    if (more == 0) break;
    got += more;
  }
  return got;
}

}  // namespace

std::uint64_t digest_of(std::span<const char> bytes) noexcept {
  Digest digest;
  digest.add(bytes.data(), bytes.size());
  return digest.finish();
}

std::optional<std::uint64_t> digest_at(const PlotFile& file, std::uint64_t offset,
                                       std::uint64_t length) {
  // On the stack: windows are small, and a header of many names is taken a
  // chunk at a time.
  char chunk[16384];
  Digest digest;
  while (length != 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof chunk));
    const std::size_t got = fill(file, chunk, want, offset);
    if (got < want) return std::nullopt;
    digest.add(chunk, got);
    offset += got;
    length -= got;
  }
  return digest.finish();
}

std::optional<std::size_t> first_changed(const PlotFile& file, std::span<const Window> windows) {
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const std::optional<std::uint64_t> now = digest_at(file, windows[i].offset, windows[i].length);
    if (now != windows[i].digest) return i;
  }
  return std::nullopt;
}

failure::Vec<Window> windows_over(const PlotFile& file, std::uint64_t names_end,
                                  std::uint64_t begin, std::uint64_t end,
                                  std::uint64_t first_end, std::uint64_t last_begin) {
  failure::Vec<Window> windows;
  windows.reserve(3 + kSpreadWindows);
  const auto take = [&](std::uint64_t offset, std::uint64_t length) {
    // The bytes were just read; a file cut meanwhile is caught by the next
    // read, whose windows then no longer fit it.
    windows.push_back({offset, length, digest_at(file, offset, length).value_or(0)});
  };
  take(0, names_end);
  if (end <= begin) return windows;
  const std::uint64_t bytes = end - begin;
  const auto edge = [&](std::uint64_t block) {
    const std::uint64_t known = block != 0 && block <= bytes ? block : 0;
    return std::min(bytes, std::max(kEdgeBytes, std::min(known, kBlockBytes)));
  };
  const std::uint64_t head = edge(first_end > begin ? first_end - begin : 0);
  take(begin, head);
  if (bytes <= head) return windows;
  const std::uint64_t tail = std::min(bytes - head, edge(last_begin >= begin ? end - last_begin : 0));
  if (bytes > head + tail + kSpreadBytes) {
    const std::uint64_t inner = bytes - head - tail - kSpreadBytes;
    for (std::size_t i = 0; i < kSpreadWindows; ++i)
      take(begin + head + inner * (2 * i + 1) / (2 * kSpreadWindows), kSpreadBytes);
  }
  take(end - tail, tail);
  return windows;
}

namespace {

// Whether the file no longer ends where it did when opened.
bool resized(const PlotFile& file) {
  char byte = 0;
  return file.read_some(&byte, 1, file.size()) != 0 ||
         (file.size() != 0 && file.read_some(&byte, 1, file.size() - 1) == 0);
}

// Reads of a file whose size changed during a failed read, or whose bytes
// changed under a read, before one is believed or given up.
constexpr int kReadsOfAChangingFile = 3;

// The file's first bytes and those just before its size at open, as they
// are before a read. Appending leaves both as they were; a file rewritten
// from its start, or cut short and written again, while it is read changes
// one of them (or ends before the second), and the read then holds bytes
// that never stood together in the file, though no window of an earlier
// read covers them (the first read of a file has none).
failure::Vec<Window> edges_of(const PlotFile& file) {
  failure::Vec<Window> edges;
  const std::uint64_t size = file.size();
  const std::uint64_t head = std::min(size, kEdgeBytes);
  edges.push_back({0, head, digest_at(file, 0, head).value_or(0)});
  if (size > head) {
    const std::uint64_t tail = std::min(size - head, kEdgeBytes);
    edges.push_back({size - tail, tail, digest_at(file, size - tail, tail).value_or(0)});
  }
  return edges;
}

}  // namespace

CheckedRead read_checked(std::string_view path, const RowOptions& options,
                         std::span<const Window> expected) {
  failure::QuietFailures quiet;
  try {
    for (int reads = 1;; ++reads) {
      const PlotFile file(path);
      CheckedRead checked;
      const auto unread = [&] {
        checked.rows = PlotRows{};
        checked.rows.source_size = file.size();
        checked.rows.source_device = file.device();
        checked.rows.source_inode = file.inode();
        return std::move(checked);
      };
      checked.changed = first_changed(file, expected);
      if (checked.changed) return unread();
      const failure::Vec<Window> edges = edges_of(file);
      std::exception_ptr failed;
      try {
        checked.rows = read_plot_rows(file, options);
      } catch (const ReadError&) {
        failed = std::current_exception();
      }
      checked.changed = first_changed(file, expected);
      if (checked.changed) return unread();
      if (first_changed(file, edges)) {
        if (reads < kReadsOfAChangingFile) continue;
        // Rewritten under every read: no read holds one state of the file.
        throw ReadError::os(ESTALE);
      }
      if (failed) {
        // A file cut short and written again while it was read, even with
        // the same bytes, can leave the reader with bytes that never stood
        // together in it: a fault found then is read again.
        if (reads < kReadsOfAChangingFile && resized(file)) continue;
        std::rethrow_exception(failed);
      }
      const PlotRows& rows = checked.rows;
      const std::uint64_t begin =
          options.resume.offset != 0 ? options.resume.offset : rows.names_end;
      checked.taken = windows_over(file, rows.names_end, begin, rows.end_offset,
                                   rows.first_block_end, rows.last_block_begin);
      return checked;
    }
  } catch (const failure::OutOfMemory&) {
    throw ReadError(ReadProblem::out_of_memory);
  }
}

}  // namespace novrel::reader
