#pragma once

#include <string>
#include <utility>

namespace demstitch {

// The outcome of an operation that can fail for reasons outside the program: ok, or a
// message that says what failed and where ("GTResult.DEM: No space left on device").
class Status {
 public:
  Status() = default;
  static Status error(std::string message) { return Status(std::move(message)); }
  // A failed system call on `path`, with the text of `err` (an errno value).
  static Status from_errno(const std::string& path, int err);

  bool ok() const { return message_.empty(); }
  const std::string& message() const { return message_; }

 private:
  explicit Status(std::string message) : message_(std::move(message)) {}
  std::string message_;
};

}  // namespace demstitch
