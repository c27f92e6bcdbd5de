// Error values of the core and the one exception type it throws.
//
// Bad input is an ordinary outcome: functions that can refuse their input
// return std::expected<T, Error>, and the binding raises the Python exception
// named by Error::type with Error::message. A violated internal expectation
// is not an outcome but a bug; it is thrown as InternalFailure and reaches
// Python as PanicException.
#pragma once

#include <cstddef>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvalind {

enum class ErrorType { ValueError, TypeError, OverflowError, MemoryError };

struct Error {
  ErrorType type;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorType type, std::string message) {
  return std::unexpected(Error{type, std::move(message)});
}

struct InternalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws InternalFailure with the index-out-of-bounds message.
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// Bounds-checked element access for code outside the hot loops.
template <class Vector>
auto& checked_at(Vector& v, std::size_t index) {
  if (index >= v.size()) fail_index(v.size(), index);
  return v[index];
}

}  // namespace corvalind
