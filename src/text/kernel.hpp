// The SIMD kernels the text stages choose from at run time.
//
// The baseline build targets processors without SSE (i686), so every kernel
// is compiled for its instruction set alone and chosen once the processor
// has been asked what it runs. Tests force each kernel in turn, the
// portable code included, to compare them on one machine.
#pragma once

#include <cstdint>

namespace novrel::text {

// Portable is plain C++; Ssse3 also covers SSE2.
enum class Kernel : std::uint8_t { Portable, Ssse3, Avx2 };

// The kernels this machine can run: bit (1 << Kernel) for each.
unsigned available_kernels() noexcept;

// The best kernel this machine has, unless a test forced another.
Kernel chosen_kernel() noexcept;

// For tests: chosen_kernel() gives `kernel` from now on, in every thread;
// restore_kernel() undoes it. Stages pick their kernel when a reading
// starts, so a reading in progress keeps its own.
void force_kernel(Kernel kernel) noexcept;
void restore_kernel() noexcept;

inline bool has_kernel(Kernel kernel) noexcept {
  return (available_kernels() >> static_cast<unsigned>(kernel) & 1u) != 0;
}

}  // namespace novrel::text
