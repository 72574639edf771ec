// Internal status type: every internal operation that can fail returns a Status or a Result<T>
// carrying one of the public status codes. Nothing internal throws for control flow.
#ifndef TESSEL_CORE_STATUS_HPP_
#define TESSEL_CORE_STATUS_HPP_

#include <cstdint>
#include <utility>

#include "tessel/tessel_status.h"

namespace tessel {

class [[nodiscard]] Status {
 public:
  constexpr Status() = default;
  constexpr explicit Status(int32_t code) : code_(code) {}

  constexpr bool ok() const { return code_ == CV_NORMAL_COMPLETION; }
  constexpr int32_t code() const { return code_; }
  constexpr bool is(int32_t code) const { return code_ == code; }

 private:
  int32_t code_ = CV_NORMAL_COMPLETION;
};

constexpr Status ok_status() {
  return Status();
}

// A value or the status that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(status) {}     // NOLINT: implicit by design

  bool ok() const { return status_.ok(); }
  Status status() const { return status_; }
  T& value() & { return value_; }
  T&& value() && { return std::move(value_); }
  const T& value() const& { return value_; }
  T& operator*() & { return value_; }
  T* operator->() { return &value_; }

 private:
  T value_{};
  Status status_;
};

}  // namespace tessel

#define TS_STATUS_CONCAT_INNER_(a, b) a##b
#define TS_STATUS_CONCAT_(a, b) TS_STATUS_CONCAT_INNER_(a, b)

#define TS_RETURN_IF_ERROR(expr)             \
  do {                                       \
    ::tessel::Status ts_status_ = (expr);    \
    if (!ts_status_.ok()) return ts_status_; \
  } while (0)

#define TS_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return tmp.status();             \
  lhs = std::move(tmp).value()

#define TS_ASSIGN_OR_RETURN(lhs, expr) \
  TS_ASSIGN_OR_RETURN_IMPL_(TS_STATUS_CONCAT_(ts_result_, __LINE__), lhs, expr)

#endif  // TESSEL_CORE_STATUS_HPP_
