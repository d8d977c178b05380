#pragma once
// Errors are values: every fallible operation returns Result<T, ErrorKind>.

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestro {

/// std::expected that must not be dropped: an ignored error would pass silently.
template <class T, class E>
class [[nodiscard]] Result : public std::expected<T, E> {
 public:
  using std::expected<T, E>::expected;
  Result(const std::expected<T, E>& other) : std::expected<T, E>(other) {}
  Result(std::expected<T, E>&& other) : std::expected<T, E>(std::move(other)) {}
};

/// A broken internal invariant: never caused by input, reported to Python as an exception
/// by the entry functions instead of ending the process.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace kestro

#define KESTRO_CONCAT_IMPL(a, b) a##b
#define KESTRO_CONCAT(a, b) KESTRO_CONCAT_IMPL(a, b)

/// Returns the error of `expr` from the enclosing function; the caller's error kind must be
/// implicitly constructible from it.
#define KESTRO_RETURN_IF_ERROR(expr)                                  \
  do {                                                                \
    auto&& _kestro_status = (expr);                                   \
    if (!_kestro_status) return std::unexpected(std::move(_kestro_status).error()); \
  } while (false)

/// `lhs = value of expr`, or return its error. Expands to several statements: never use it
/// as the body of an unbraced if or loop.
#define KESTRO_ASSIGN_OR_RETURN(lhs, expr) \
  KESTRO_ASSIGN_OR_RETURN_IMPL(KESTRO_CONCAT(_kestro_result_, __COUNTER__), lhs, expr)
#define KESTRO_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)                 \
  auto tmp = (expr);                                                 \
  if (!tmp) return std::unexpected(std::move(tmp).error());          \
  lhs = std::move(tmp).value()

/// Checks an internal invariant; a failure throws InternalError, which the entry functions
/// turn into a Python exception.
#define KESTRO_CHECK(cond, what)                                                       \
  do {                                                                                 \
    if (!(cond)) [[unlikely]]                                                          \
      throw ::kestro::InternalError(std::string("check failed: ") + #cond + " (" + (what) + ")"); \
  } while (false)
