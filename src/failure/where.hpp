// The source location of a failing site.
#pragma once

#include <cstdint>

#if defined(__has_builtin)
#if __has_builtin(__builtin_source_location)
#define NOVREL_HAVE_SOURCE_LOCATION 1
#include <source_location>
#endif
#endif

namespace novrel::failure {

// Filled in at the call site through a defaulted argument, so a function
// that takes `Where where = Where::current()` reports its caller's site.
// std::source_location where the compiler supports it; otherwise the older
// builtins, which clang 14 has but cannot combine with libstdc++ 12's
// std::source_location.
class Where {
 public:
#ifdef NOVREL_HAVE_SOURCE_LOCATION
  static constexpr Where current(
      std::source_location site = std::source_location::current()) noexcept {
    return Where(site.file_name(), site.line(), site.column());
  }
#else
  static constexpr Where current(const char* file = __builtin_FILE(),
                                 std::uint32_t line = __builtin_LINE(),
                                 std::uint32_t column = __builtin_COLUMN()) noexcept {
    return Where(file, line, column);
  }
#endif
  // The path as the build names it: relative to the project root.
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint32_t line() const noexcept { return line_; }
  constexpr std::uint32_t column() const noexcept { return column_; }

 private:
  constexpr Where(const char* file, std::uint32_t line, std::uint32_t column) noexcept
      : file_(file), line_(line), column_(column) {}

  const char* file_;
  std::uint32_t line_;
  std::uint32_t column_;
};

}  // namespace novrel::failure
