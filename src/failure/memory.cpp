#include "failure/memory.hpp"

#include <cstdlib>

#include "failure/fatal_error.hpp"

namespace novrel::failure {

void handle_alloc_error(std::size_t) noexcept { std::abort(); }
void capacity_overflow(std::source_location where) {
  raise("capacity overflow", where);
}
void* allocate_bytes(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) handle_alloc_error(bytes);
  return p;
}
void* reallocate_bytes(void* block, std::size_t bytes) {
  void* p = std::realloc(block, bytes ? bytes : 1);
  if (!p) handle_alloc_error(bytes);
  return p;
}
void release_bytes(void* block) noexcept { std::free(block); }

}  // namespace novrel::failure
