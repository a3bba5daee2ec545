// The plot-file writer. Formatting costs far more than writing (std::to_chars
// takes some 70-120 ns a field, the page cache takes the bytes at gigabytes a
// second), so blocks are formatted a chunk per thread into buffers that are
// then written in order.
#include "writer/plot_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"
#include "reader/format.hpp"
#include "writer/field_format.hpp"

namespace novrel {
namespace {

using reader::kFieldsPerLine;
constexpr std::size_t kTitleBytes = 30;
constexpr std::size_t kBlockNumberBytes = 4;
// A thread's share of one round: long enough that starting the thread
// (tens of microseconds) is lost in formatting it (milliseconds).
constexpr std::size_t kChunkBytes = 2u << 20;
// A round holds every thread's chunk at once: 16 chunks of 2 MiB (or of
// one block, where a block is larger).
constexpr unsigned kMaxThreads = 16;

[[noreturn]] void fail(WriteProblem problem) { throw WriteError{problem}; }
[[noreturn]] void throw_os_error(int code) { throw WriteError{WriteProblem::os_error, code}; }

std::size_t decimal_digits(std::uint64_t n) {
  std::size_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

std::size_t checked_product(std::size_t a, std::size_t b) {
  std::size_t product;
  // Such a size is beyond any memory: the values could not have fitted.
  if (__builtin_mul_overflow(a, b, &product)) fail(WriteProblem::out_of_memory);
  return product;
}

void append_decimal(failure::String& out, std::uint64_t n) {
  char digits[20];
  const auto end = std::to_chars(digits, std::end(digits), n).ptr;
  out.append(digits, end);
}

void check_single_line(std::string_view text, std::optional<std::size_t> name) {
  if (text.find_first_of("\n\r") != std::string_view::npos)
    throw WriteError{WriteProblem::line_break, 0, name};
}

// The header line and the name lines.
failure::String format_head(const PlotTable& table) {
  failure::String head(table.title);
  head.resize(std::max(head.size(), kTitleBytes), ' ');
  head += ' ';
  append_decimal(head, table.names.size());
  head += '\n';
  for (const std::string_view name : table.names) {
    head += name;
    head += '\n';
  }
  return head;
}

// Whether a system call that failed with `code` is tried again: one that a
// signal interrupted is, after `poll`, which ends the write where a handler
// raised.
bool retried(const WriteOptions& options, int code) {
  if (code != EINTR) return false;
  if (options.poll != nullptr) options.poll(options.poll_context);
  return true;
}

// The file being written: under a temporary name beside the target until
// commit() renames it, removed if that never happens.
class PlotFileOutput {
 public:
  PlotFileOutput(std::string_view file_path, const WriteOptions& options)
      : options_(options), target_(file_path) {
    struct stat status;
    if (::stat(target_.c_str(), &status) != 0) {
      if (errno != ENOENT) throw_os_error(errno);
      open_temporary(std::nullopt);
    } else if (!S_ISREG(status.st_mode)) {
      // A named pipe or a device cannot be replaced by renaming, and a
      // directory gives EISDIR here.
      open_in_place();
    } else {
      // Renaming over a symbolic link would replace the link, not the file
      // it names, as opening the path would write.
      const std::unique_ptr<char, decltype(&std::free)> real(::realpath(target_.c_str(), nullptr),
                                                             &std::free);
      if (real == nullptr) throw_os_error(errno);
      target_ = real.get();
      open_temporary(status.st_mode & 07777);
    }
  }
  ~PlotFileOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty() && !committed_) ::unlink(temporary_.c_str());
  }
  PlotFileOutput(const PlotFileOutput&) = delete;
  PlotFileOutput& operator=(const PlotFileOutput&) = delete;

  void write(const char* data, std::size_t size) {
    while (size != 0) {
      const ssize_t written = ::write(fd_, data, std::min<std::size_t>(size, SSIZE_MAX));
      if (written < 0) {
        if (retried(options_, errno)) continue;
        throw_os_error(errno);
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }

  void commit() {
    // close reports what a network file system deferred.
    const int closed = ::close(std::exchange(fd_, -1));
    if (closed != 0 && errno != EINTR) throw_os_error(errno);
    if (!temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0)
      throw_os_error(errno);
    committed_ = true;
  }

 private:
  void open_in_place() {
    while ((fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY)) < 0) {
      if (!retried(options_, errno)) throw_os_error(errno);
    }
  }

  // `mode`: the permissions of the file replaced, kept.
  void open_temporary(std::optional<mode_t> mode) {
    static std::atomic<std::uint64_t> counter{0};
    const std::size_t slash = target_.rfind('/');
    const std::size_t base = slash == failure::String::npos ? 0 : slash + 1;
    // Hidden, and short enough for any name limit: the target's name (up to
    // 200 bytes), this process and a counter.
    for (unsigned attempt = 0;; ++attempt) {
      temporary_.assign(target_, 0, base);
      temporary_ += '.';
      temporary_.append(target_, base, 200);
      temporary_ += '.';
      append_decimal(temporary_, static_cast<std::uint64_t>(::getpid()));
      temporary_ += '-';
      append_decimal(temporary_, counter.fetch_add(1, std::memory_order_relaxed));
      temporary_ += ".tmp";
      // 0666 with the umask, as open() creates files.
      fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) break;
      const int code = errno;
      if (code == EEXIST && attempt < 100) continue;  // left by a process that had this pid
      temporary_.clear();
      throw_os_error(code);
    }
    // Failing to keep the permissions is not worth failing the write over.
    if (mode) (void)::fchmod(fd_, *mode);
  }

  const WriteOptions& options_;
  failure::String target_;
  failure::String temporary_;  // empty when writing in place
  int fd_ = -1;
  bool committed_ = false;
};

// The bytes of blocks [first, end) of `values`, N per block, formatted at
// `out`; returns the end of them.
template <class T>
char* format_blocks(char* out, const T* values, std::size_t count, std::size_t first,
                    std::size_t end, std::size_t width) noexcept {
  for (std::size_t block = first; block < end; ++block) {
    char number[20];
    const char* const number_end = std::to_chars(number, std::end(number), block + 1).ptr;
    const auto digits = static_cast<std::size_t>(number_end - number);
    if (digits < kBlockNumberBytes) {
      std::memset(out, ' ', kBlockNumberBytes - digits);
      out += kBlockNumberBytes - digits;
    }
    std::memcpy(out, number, digits);
    out += digits;
    *out++ = '\n';
    const T* row = values + block * count;
    for (std::size_t j = 0; j < count; ++j) {
      text::format_field(out, width, row[j]);
      out += width;
      if (j % kFieldsPerLine == kFieldsPerLine - 1 || j + 1 == count) *out++ = '\n';
    }
  }
  return out;
}

unsigned thread_count(const WriteOptions& options, std::size_t chunks) {
  unsigned threads = options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
  threads = std::clamp(threads, 1u, kMaxThreads);
  return static_cast<unsigned>(std::min<std::size_t>(threads, chunks));
}

template <class T>
void write_blocks(PlotFileOutput& output, std::span<const T> values, const PlotTable& table,
                  const WriteOptions& options) {
  const std::size_t count = table.names.size();
  const std::size_t blocks = table.blocks;
  if (blocks == 0) return;
  const std::size_t data_bytes =
      checked_product(count, options.width) + (count + kFieldsPerLine - 1) / kFieldsPerLine;
  const std::size_t block_bytes =
      data_bytes + std::max(kBlockNumberBytes, decimal_digits(blocks)) + 1;
  const std::size_t chunk_blocks = std::max<std::size_t>(1, kChunkBytes / block_bytes);
  const std::size_t chunks = (blocks - 1) / chunk_blocks + 1;
  const unsigned threads = thread_count(options, chunks);
  const std::size_t chunk_capacity = checked_product(chunk_blocks, block_bytes);
  failure::Vec<char> buffer(checked_product(chunk_capacity, threads));
  failure::Vec<std::size_t> lengths(threads);
  failure::Vec<std::jthread> helpers;
  helpers.reserve(threads);

  for (std::size_t first = 0; first < blocks;) {
    const auto format_chunk = [&, first](unsigned k) noexcept {
      const std::size_t begin = std::min(blocks, first + k * chunk_blocks);
      const std::size_t end = std::min(blocks, begin + chunk_blocks);
      char* const start = buffer.data() + k * chunk_capacity;
      lengths[k] = static_cast<std::size_t>(
          format_blocks(start, values.data(), count, begin, end, options.width) - start);
    };
    for (unsigned k = 1; k < threads; ++k) {
      try {
        helpers.emplace_back(format_chunk, k);
      } catch (const std::system_error&) {
        format_chunk(k);  // no thread to be had: this one does it
      }
    }
    format_chunk(0);
    helpers.clear();  // joins
    for (unsigned k = 0; k < threads; ++k) output.write(buffer.data() + k * chunk_capacity, lengths[k]);
    first = std::min(blocks, first + threads * chunk_blocks);
    if (options.poll != nullptr && first < blocks) options.poll(options.poll_context);
  }
}

void check_table(const PlotTable& table, std::size_t width) {
  const std::size_t count = table.names.size();
  if (count == 0 || count > std::numeric_limits<std::uint32_t>::max())
    fail(WriteProblem::bad_count);
  const std::size_t min_width = std::holds_alternative<std::span<const float>>(table.values)
                                    ? text::kMinFieldWidth<float>
                                    : text::kMinFieldWidth<double>;
  if (width < min_width || width > text::kMaxFieldWidth)
    throw WriteError{WriteProblem::bad_width, 0, std::nullopt, min_width, text::kMaxFieldWidth};
  check_single_line(table.title, std::nullopt);
  for (std::size_t i = 0; i < count; ++i) check_single_line(table.names[i], i);
}

void write_plot_file(std::string_view file_path, const PlotTable& table,
                     const WriteOptions& options) {
  check_table(table, options.width);
  const failure::String head = format_head(table);
  PlotFileOutput output(file_path, options);
  output.write(head.data(), head.size());
  std::visit([&](auto values) { write_blocks(output, values, table, options); }, table.values);
  output.commit();
}

}  // namespace

void write_plot(std::string_view file_path, const PlotTable& table, const WriteOptions& options) {
  failure::QuietFailures quiet;
  try {
    write_plot_file(file_path, table, options);
  } catch (const failure::OutOfMemory&) {
    fail(WriteProblem::out_of_memory);
  } catch (const std::bad_alloc&) {
    fail(WriteProblem::out_of_memory);
  }
}

}  // namespace novrel
