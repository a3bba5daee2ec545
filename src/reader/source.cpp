#include "reader/source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "reader/read_failure.hpp"

namespace novrel::reader {

void fail_os(int code) { throw ReadError::os(code); }

namespace {

text::FileDescriptor open_or_fail(std::string_view path) {
  text::OpenedFile opened = text::open_file(path);
  if (!opened.fd) fail_os(opened.error.is_os() ? opened.error.code() : EINVAL);
  return std::move(*opened.fd);
}

}  // namespace

ChunkPipe::ChunkPipe(std::size_t chunk_bytes, std::size_t chunks) : ring_(chunks) {
  for (Chunk& chunk : ring_) chunk.bytes.resize(chunk_bytes);
}

std::span<char> ChunkPipe::free_chunk(int wait_ms) {
  std::unique_lock lock(mutex_);
  const bool free = changed_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                      [&] { return stopped_ || queued_ < ring_.size(); });
  if (!free || stopped_) return {};
  Chunk& chunk = ring_[(head_ + queued_) % ring_.size()];
  return {chunk.bytes.data(), chunk.bytes.size()};
}

void ChunkPipe::publish(std::size_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    ring_[(head_ + queued_) % ring_.size()].filled = bytes;
    ++queued_;
  }
  changed_.notify_all();
}

void ChunkPipe::set(bool& flag) {
  {
    const std::lock_guard lock(mutex_);
    flag = true;
  }
  changed_.notify_all();
}

void ChunkPipe::finish() { set(finished_); }
void ChunkPipe::abandon() { set(abandoned_); }

bool ChunkPipe::stopped() {
  const std::lock_guard lock(mutex_);
  return stopped_;
}

std::size_t ChunkPipe::take(char* into, std::size_t size) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return abandoned_ || finished_ || queued_ > 0; });
  // The filler's own error is what the caller sees; this one only unwinds
  // the reader.
  if (abandoned_) fail_os(ECANCELED);
  if (queued_ == 0) return 0;
  Chunk& chunk = ring_[head_];
  // The chunk stays the reader's until it is taken whole, so the copy needs
  // no lock; the filler only writes chunks not queued.
  lock.unlock();
  const std::size_t got = std::min(size, chunk.filled - taken_);
  std::memcpy(into, chunk.bytes.data() + taken_, got);
  taken_ += got;
  if (taken_ == chunk.filled) {
    lock.lock();
    taken_ = 0;
    head_ = (head_ + 1) % ring_.size();
    --queued_;
    lock.unlock();
    changed_.notify_all();
  }
  return got;
}

void ChunkPipe::stop() { set(stopped_); }

PlotFile::PlotFile(std::string_view path) : fd_(open_or_fail(path)) {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0) fail_os(errno);
  // A directory opens but does not read; say so as reading it would.
  if (S_ISDIR(info.st_mode)) fail_os(EISDIR);
  seekable_ = S_ISREG(info.st_mode);
  size_ = seekable_ && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  device_ = static_cast<std::uint64_t>(info.st_dev);
  inode_ = static_cast<std::uint64_t>(info.st_ino);
}

PlotFile::PlotFile(text::FileDescriptor sequential) noexcept : fd_(std::move(sequential)) {}

PlotFile::PlotFile(std::span<const char> bytes) noexcept
    : bytes_(bytes), seekable_(true), size_(bytes.size()) {}

PlotFile::PlotFile(ChunkPipe& pipe) noexcept : pipe_(&pipe) {}

std::size_t PlotFile::read_some(char* into, std::size_t size, std::uint64_t offset) const {
  if (pipe_ != nullptr) return pipe_->take(into, size);
  if (fd_.get() < 0) {
    if (offset >= bytes_.size()) return 0;
    const std::size_t got = std::min<std::size_t>(size, bytes_.size() - static_cast<std::size_t>(offset));
    std::memcpy(into, bytes_.data() + offset, got);
    return got;
  }
  ssize_t got;
  if (seekable_) {
    do {
      got = ::pread(fd_.get(), into, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
  } else {
    got = text::read_some(fd_.get(), into, size);
  }
  if (got < 0) fail_os(errno);
  return static_cast<std::size_t>(got);
}

std::uint64_t PlotFile::size_hint() const noexcept {
  if (seekable_ || fd_.get() < 0) return size_;
  return text::regular_size(fd_.get());
}

}  // namespace novrel::reader
