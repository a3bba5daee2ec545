// Parts of one read on several threads, failing as one thread would.
#pragma once

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"

namespace novrel::reader {

// Runs part(i) for every i < parts: part 0 on the calling thread, the others
// each on a thread of its own (or after part 0 where no thread can be made),
// and rethrows what the lowest failing part threw. Parts cover the file in
// order, so that is the failure a single thread would have met first.
// `first_failed` holds the lowest failing part so far (`parts` for none): a
// part above it may stop early, since its outcome can no longer matter; a
// part below it must run on, since it may still fail earlier in the file.
template <class Part>
void run_parts(unsigned parts, std::atomic<unsigned>& first_failed, Part&& part) {
  failure::Vec<std::exception_ptr> failed(parts);
  auto guarded = [&](unsigned i) {
    try {
      part(i);
    } catch (...) {
      failed[i] = std::current_exception();
      unsigned lowest = first_failed.load();
      while (i < lowest && !first_failed.compare_exchange_weak(lowest, i)) {
      }
    }
  };
  failure::Vec<std::thread> threads;
  threads.reserve(parts);
  unsigned started = 1;
  try {
    for (; started < parts; ++started)
      threads.emplace_back([&guarded, i = started] {
        // The row reader's failures are values on every thread.
        failure::QuietFailures quiet;
        guarded(i);
      });
  } catch (const std::system_error&) {
    // No more threads: the rest run here.
  }
  guarded(0);
  for (std::thread& thread : threads) thread.join();
  for (unsigned i = started; i < parts; ++i) guarded(i);
  for (const std::exception_ptr& failure : failed)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace novrel::reader
