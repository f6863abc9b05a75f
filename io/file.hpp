#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/status.hpp"

namespace demstitch {

// An open file descriptor with its path. The destructor closes quietly; close() reports.
// Reads and writes loop over short counts and EINTR; offsets are 64-bit.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Opens a regular file for reading; anything else (a folder, a pipe) is refused.
  static Status open_for_reading(const std::string& path, File* file);
  // Creates a new file for writing; fails if the name exists.
  static Status create_new(const std::string& path, File* file);

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  Status size(int64_t* bytes) const;
  // Reads the next bytes in sequence; *got is 0 only at the end of the file.
  Status read_some(std::span<std::byte> buffer, size_t* got);
  // Reads at `offset` until `buffer` is full or the file ends; *got tells how far it came.
  Status read_at(int64_t offset, std::span<std::byte> buffer, size_t* got) const;
  // Reads consecutive file bytes from `offset` into the pieces of `pieces` in order, until
  // they are full or the file ends. The iovecs are consumed.
  Status read_pieces_at(int64_t offset, std::span<iovec> pieces, size_t* got) const;
  // Reserves disk space for the first `bytes` of the file, where the file system can; fails
  // with "No space left on device" when the space is not there.
  Status reserve(int64_t bytes);
  Status write_all(std::span<const std::byte> bytes);
  Status write_at(int64_t offset, std::span<const std::byte> bytes);
  Status close();

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// Opens base + lower-case extension, or else base + upper-case extension (tiles are
// distributed with upper-case names). `path` is the name opened, or on failure the
// lower-case one, whose error is returned.
Status open_either_case(const std::string& base, const char* lower, const char* upper, File* file,
                        std::string* path);

}  // namespace demstitch
