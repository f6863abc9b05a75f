#include "base/status.hpp"

#include <cerrno>
#include <cstring>

#include "base/strings.hpp"

namespace demstitch {

std::string Status::message() const {
  return path_.empty() ? printable(detail_) : printable(path_) + ": " + printable(detail_);
}

Status Status::from_errno(int err, Side side, std::string path) {
  StatusKind kind = StatusKind::io_error;
  if (err == ENOENT || err == ENOTDIR) kind = StatusKind::not_found;
  if (err == ENOSPC) kind = StatusKind::no_space;
  if (err == ENOMEM) kind = StatusKind::no_memory;
  Status status(kind, side, std::move(path), std::strerror(err));
  status.error_number_ = err;
  return status;
}

}  // namespace demstitch
