// Long differential sweeps: the NOVREL_SLOW switch, a sweep of an index
// range over every CPU the process may use, and the findings its workers
// report back to the test's own thread.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace novrel::testing_support {

// NOVREL_SLOW=1 asks for the full sweeps, minutes to hours of CPU.
inline bool slow_tests_enabled() {
  const char* flag = std::getenv("NOVREL_SLOW");
  return flag != nullptr && std::string(flag) == "1";
}

// Failures found by the workers, reported by the test's own thread.
class Findings {
 public:
  void add(std::string what) {
    const std::lock_guard lock(mutex_);
    if (++count_ <= 10) first_.push_back(std::move(what));
  }
  void report() const {
    for (const std::string& what : first_) ADD_FAILURE() << what;
    EXPECT_EQ(count_, 0u);
  }

 private:
  std::mutex mutex_;
  std::uint64_t count_ = 0;
  std::vector<std::string> first_;
};

// Calls body(i) for every i in [0, end), in chunks of `chunk` over the CPUs
// this process may run on (taskset limits them), and prints the time taken.
template <class Body>
void sweep(const char* name, std::uint64_t end, Body body, std::uint64_t chunk = std::uint64_t{1} << 22) {
  cpu_set_t cpus;
  const unsigned threads =
      sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? static_cast<unsigned>(CPU_COUNT(&cpus)) : 1;
  std::atomic<std::uint64_t> next{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::uint64_t first; (first = next.fetch_add(chunk)) < end;)
        for (std::uint64_t i = first; i < std::min(first + chunk, end); ++i) body(i);
    });
  }
  for (std::thread& w : workers) w.join();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%s: %llu on %u threads in %.0f s\n", name, static_cast<unsigned long long>(end), threads,
              took.count());
}

}  // namespace novrel::testing_support
