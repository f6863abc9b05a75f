#pragma once

#include <string>
#include <utility>

namespace demstitch {

// What went wrong, for callers that decide by kind and never by the text.
enum class StatusKind {
  ok,
  not_found,  // a file or folder that does not exist
  io_error,   // any other failure of a read, write, open or rename
  corrupt,    // the bytes are there but do not say what they should
  no_space,   // the disk (or a quota) has no room
  no_memory,
  cancelled,  // stopped on request: never a success
  busy,       // another run holds what this one needs
};

// Which side of a run a failure belongs to.
enum class Side { none, input, output };

// The outcome of an operation that can fail for reasons outside the program: ok, or a kind,
// the side, the path the user knows and the reason ("GTResult.DEM: No space left on device").
class Status {
 public:
  Status() = default;
  static Status error(StatusKind kind, Side side, std::string path, std::string detail) {
    return Status(kind, side, std::move(path), std::move(detail));
  }
  // A failed system call on `path`, with the text of `err` (an errno value).
  static Status from_errno(int err, Side side, std::string path);
  static Status cancelled() { return Status(StatusKind::cancelled, Side::none, {}, "cancelled"); }

  bool ok() const { return kind_ == StatusKind::ok; }
  StatusKind kind() const { return kind_; }
  Side side() const { return side_; }
  const std::string& path() const { return path_; }
  const std::string& detail() const { return detail_; }
  // The system's error number behind a failed call (an errno value), or 0.
  int error_number() const { return error_number_; }
  // "path: detail", or the detail alone when no path is known.
  // "PATH: DETAIL", fit for a terminal (see printable).
  std::string message() const;

 private:
  Status(StatusKind kind, Side side, std::string path, std::string detail)
      : kind_(kind), side_(side), path_(std::move(path)), detail_(std::move(detail)) {}
  StatusKind kind_ = StatusKind::ok;
  Side side_ = Side::none;
  std::string path_;
  std::string detail_;
  int error_number_ = 0;
};

}  // namespace demstitch
