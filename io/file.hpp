#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/status.hpp"

namespace demstitch {

// The piece size of sequential reads and writes.
inline constexpr size_t io_chunk_bytes = size_t{64} << 10;

// What a name refers to: the device and the file's number on it (on Windows the volume and
// the file index).
struct FileId {
  uint64_t device = 0;
  uint64_t number = 0;
  bool operator==(const FileId&) const = default;
};

// A file's state as its system tells it: a file written to or cut since has another.
struct FileVersion {
  int64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileVersion&) const = default;
};

// An open file with the name it is known by in messages; one implementation per platform
// (file_posix.cpp, file_windows.cpp). The destructor closes quietly;
// close() reports. Reads and writes loop over short counts and interruptions; offsets are
// 64-bit. Positioned reads may run on several threads at once.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept
      : handle_(std::exchange(other.handle_, -1)),
        name_(std::move(other.name_)),
        side_(other.side_) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      if (handle_ != -1) release(handle_);
      handle_ = std::exchange(other.handle_, -1);
      name_ = std::move(other.name_);
      side_ = other.side_;
    }
    return *this;
  }
  ~File() {
    if (handle_ != -1) release(handle_);
  }

  // Opens a regular file for reading; anything else (a folder, a pipe) is refused. Its
  // failures are the input's.
  static Status open_for_reading(const std::string& path, File* file);
  // Creates a new file for writing at `path`, failing if the name exists; messages name it
  // `display_name`. Its failures are the output's.
  static Status create_new(const std::string& path, const std::string& display_name, File* file);

  // Takes an open descriptor (POSIX) or handle (Windows); its failures are `side`'s, named
  // `display_name`.
  static File adopt(intptr_t handle, std::string display_name, Side side) {
    return File(handle, std::move(display_name), side);
  }

  intptr_t native_handle() const { return handle_; }
  const std::string& name() const { return name_; }

  Status size(int64_t* bytes) const;
  // The identity of the file itself, whatever name or link it was opened by.
  std::optional<FileId> id() const;
  std::optional<FileVersion> version() const;
  // Reads consecutive file bytes from `offset` into `pieces` in order, until they are full
  // or the file ends; *got tells how far it came.
  Status read_pieces_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                        size_t* got) const;
  Status read_at(int64_t offset, std::span<std::byte> buffer, size_t* got) const {
    return read_pieces_at(offset, std::span(&buffer, 1), got);
  }
  // Reserves disk space for the first `bytes` of the file, where the file system can; fails
  // with "No space left on device" when the space is not there.
  Status reserve(int64_t bytes);
  Status write_all(std::span<const std::byte> bytes);
  Status write_at(int64_t offset, std::span<const std::byte> bytes);
  // Puts the file's data on the disk, so that a power cut after a rename cannot leave the
  // name on an empty file.
  Status sync();
  Status close();

 private:
  File(intptr_t handle, std::string name, Side side)
      : handle_(handle), name_(std::move(name)), side_(side) {}
  // Closes a descriptor or handle quietly.
  static void release(intptr_t handle) noexcept;
  // The failure of the last system call on this file (errno, or the Windows error code).
  Status failure(int code) const;

  intptr_t handle_ = -1;
  std::string name_;
  Side side_ = Side::none;
};

// Bytes free to an unprivileged writer in `folder`; nothing when the system cannot tell.
std::optional<int64_t> free_space(const std::string& folder);

}  // namespace demstitch
