// Placeholder until failure reporting lands: raise without a report.
#include "failure/fatal_error.hpp"

#include <cstdlib>
#include <exception>

namespace novrel::failure {

void raise(std::string_view text, Where where) {
  throw FatalError(text, Location::of(where));
}
void raise_with_cause(std::string_view message, std::string_view cause, Where where) {
  String text(message);
  text += ": ";
  text += cause;
  throw FatalError(std::move(text), Location::of(where));
}
void raise_formatted(String text, Where where) {
  throw FatalError(std::move(text), Location::of(where));
}
void raise_unwrap_err(std::string_view cause, Where where) {
  raise_with_cause("called `Result::unwrap()` on an `Err` value", cause, where);
}
void raise_unwrap_none(Where where) {
  raise("called `Option::unwrap()` on a `None` value", where);
}
void raise_without_report(String text, Where where) {
  throw FatalError(std::move(text), Location::of(where));
}
void acknowledge_catch() noexcept {}

PanicTrap::PanicTrap(std::string_view message, Where where) noexcept
    : message_(message), where_(Location::of(where)),
      uncaught_at_entry_(std::uncaught_exceptions()) {}
PanicTrap::~PanicTrap() {
  if (armed_ && std::uncaught_exceptions() > uncaught_at_entry_) std::abort();
}
void abort_cannot_unwind(std::string_view, Where) noexcept { std::abort(); }

}  // namespace novrel::failure
