#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tolvane {

// An error value: the domain it belongs to, a code within that domain and a text for people.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;

  // The full textual form, e.g.
  // Error Domain=tolvane Code=1 "notFound" UserInfo={NSLocalizedDescription=notFound}
  std::string description() const;

  friend bool operator==(const Error&, const Error&) = default;
};

// The program's own error: the songs asked for are not in the catalog.
Error notFoundError();

// Either a value or the error that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace tolvane

namespace tolvane {
// The default textual description of an error value.
inline std::string describe(const Error& error) { return error.description(); }
}  // namespace tolvane
