// Every allocation of the core goes through here.
//
// Running out of memory is not a fatal error that travels up: it writes
// "memory allocation of {} bytes failed" to fd 2 and aborts, so no
// std::bad_alloc ever escapes into the interpreter. Inside a QuietFailures
// scope (fatal_error.hpp) it throws OutOfMemory instead, and the caller that
// opened the scope turns it into its own error. A request larger than any
// object may be (more than PTRDIFF_MAX bytes) is the fatal error
// "capacity overflow" either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "failure/where.hpp"

namespace novrel::failure {

// Thrown by a failed allocation inside a QuietFailures scope.
struct OutOfMemory {
  std::size_t bytes;
};

// Raises the fatal error "capacity overflow" at `where`.
[[noreturn]] void capacity_overflow(Where where = Where::current());

// malloc and realloc that never return null (exhaustion aborts or throws,
// see above).
void* allocate_bytes(std::size_t bytes);
void* reallocate_bytes(void* block, std::size_t bytes);
void release_bytes(void* block) noexcept;

// The largest element count an allocation of T may request.
template <class T>
constexpr std::size_t max_elements() noexcept {
  return static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);
}

template <class T>
struct Allocator {
  using value_type = T;

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > max_elements<T>()) capacity_overflow();
    return static_cast<T*>(allocate_bytes(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { release_bytes(p); }

  template <class U>
  bool operator==(const Allocator<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, Allocator<T>>;
using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

}  // namespace novrel::failure
