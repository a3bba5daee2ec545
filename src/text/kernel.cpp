#include "text/kernel.hpp"

#include <atomic>

namespace novrel::text {
namespace {

constexpr int kNotForced = -1;
std::atomic<int> g_forced{kNotForced};

}  // namespace

unsigned available_kernels() noexcept {
  static const unsigned kernels = [] {
    unsigned k = 1u << static_cast<unsigned>(Kernel::Portable);
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) k |= 1u << static_cast<unsigned>(Kernel::Ssse3);
    // Also checks that the system saves the 256-bit registers.
    if (__builtin_cpu_supports("avx2")) k |= 1u << static_cast<unsigned>(Kernel::Avx2);
#endif
    return k;
  }();
  return kernels;
}

Kernel chosen_kernel() noexcept {
  const int forced = g_forced.load(std::memory_order_relaxed);
  if (forced != kNotForced) return static_cast<Kernel>(forced);
  if (has_kernel(Kernel::Avx2)) return Kernel::Avx2;
  if (has_kernel(Kernel::Ssse3)) return Kernel::Ssse3;
  return Kernel::Portable;
}

void force_kernel(Kernel kernel) noexcept { g_forced.store(static_cast<int>(kernel), std::memory_order_relaxed); }

void restore_kernel() noexcept { g_forced.store(kNotForced, std::memory_order_relaxed); }

}  // namespace novrel::text
