// Where the bytes of a plot file come from: a file opened by path, the list
// module's sequential file (text/lines/line_source.hpp), bytes already in memory,
// or a stream whose chunks another thread hands over (a file object the
// interpreter reads, a decompressor). The block walker reads every kind
// through PlotFile::read_some and knows no other difference than whether it
// can seek.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "failure/memory.hpp"
#include "text/lines/line_source.hpp"

namespace novrel::reader {

// Throws the ReadError of a failed system call, errno `code`.
[[noreturn]] void fail_os(int code);

// Chunks of a stream, passed from the thread that fills them to the thread
// that parses them, so that the two overlap: while the reader parses one
// chunk, the filler reads the next. A fixed ring of chunks: nothing is
// allocated after construction.
class ChunkPipe {
 public:
  explicit ChunkPipe(std::size_t chunk_bytes = 256u << 10, std::size_t chunks = 4);
  ChunkPipe(const ChunkPipe&) = delete;
  ChunkPipe& operator=(const ChunkPipe&) = delete;

  // The filler's side. A free chunk to fill, waiting at most `wait_ms` for
  // one; empty on time-out, and when the reader has stopped (see stopped()).
  std::span<char> free_chunk(int wait_ms);
  // The chunk from free_chunk now holds `bytes` bytes (at least 1).
  void publish(std::size_t bytes);
  // The stream ended: the reader sees its end after the chunks published.
  void finish();
  // The filler failed: the reader's next read throws, whatever is queued.
  void abandon();
  bool stopped();

  // The reader's side. Up to `size` bytes of the next chunk; 0 at the end.
  std::size_t take(char* into, std::size_t size);
  // The reader wants nothing more: the filler stops.
  void stop();

 private:
  void set(bool& flag);  // under the lock, and wakes every waiter
  struct Chunk {
    failure::Vec<char> bytes;
    std::size_t filled = 0;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  failure::Vec<Chunk> ring_;
  std::size_t head_ = 0;   // the chunk the reader takes from next
  std::size_t taken_ = 0;  // bytes of it already taken
  std::size_t queued_ = 0;  // chunks published and not yet taken whole
  bool finished_ = false, abandoned_ = false, stopped_ = false;
};

// An open source. Failing to open a path throws ReadError (os_error).
class PlotFile {
 public:
  explicit PlotFile(std::string_view path);
  // Read front to back with read(2) whatever it names, as the list module
  // reads: a directory fails at its first read, not here.
  explicit PlotFile(text::FileDescriptor sequential) noexcept;
  // Bytes that stay put and unchanged while the file is read.
  explicit PlotFile(std::span<const char> bytes) noexcept;
  explicit PlotFile(ChunkPipe& pipe) noexcept;

  // Read at any offset, its size known at opening: a regular file or memory.
  bool seekable() const noexcept { return seekable_; }
  std::uint64_t size() const noexcept { return size_; }
  // The size now where it is known, else 0: a hint for sizing storage.
  std::uint64_t size_hint() const noexcept;
  // The device and inode of a file opened by path; 0 for other sources.
  std::uint64_t device() const noexcept { return device_; }
  std::uint64_t inode() const noexcept { return inode_; }

  // One read of up to `size` bytes at `offset`, or from where a source that
  // cannot seek stands; 0 at the end. A failed read throws ReadError
  // (os_error). Reads of a seekable source may run in several threads.
  std::size_t read_some(char* into, std::size_t size, std::uint64_t offset) const;

 private:
  text::FileDescriptor fd_{-1};
  std::span<const char> bytes_;
  ChunkPipe* pipe_ = nullptr;
  bool seekable_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace novrel::reader
