#pragma once

#include <string>
#include <utility>

// The outcome of a step inside the library that can fail: success, or the
// text that tells the host what went wrong. Steps return it rather than a
// flag with a text beside it, so that a failure cannot be dropped unread
// (the type is [[nodiscard]]) nor mistaken for an empty message.
class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status Fail(std::string why) {
    Status status;
    status.failed = true;
    status.why = std::move(why);
    return status;
  }

  explicit operator bool() const { return !failed; }
  // The text of a failure; empty on success.
  const std::string& Why() const { return why; }

 private:
  bool failed = false;
  std::string why;
};
