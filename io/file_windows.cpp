#include <algorithm>
#include <utility>

#include "io/file.hpp"
#include "io/windows_support.hpp"

namespace demstitch {
namespace {

HANDLE win(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

OVERLAPPED at_offset(int64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return overlapped;
}

// One read or write moves at most this much.
constexpr size_t call_limit = size_t{1} << 30;

}  // namespace

void File::release(intptr_t handle) noexcept { CloseHandle(win(handle)); }

Status File::failure(int code) const {
  return windows_error(static_cast<DWORD>(code), side_, name_);
}

Status File::open_for_reading(const std::string& path, File* file) {
  std::wstring name = wide_path(path);
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return windows_error(GetLastError(), Side::input, path);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Status::error(StatusKind::io_error, Side::input, path, "Is a directory");
  }
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return windows_error(GetLastError(), Side::input, path);
  File opened(reinterpret_cast<intptr_t>(handle), path, Side::input);
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    return Status::error(StatusKind::io_error, Side::input, path, "not a regular file");
  }
  *file = std::move(opened);
  return {};
}

Status File::create_new(const std::string& path, const std::string& display_name, File* file) {
  // Others may delete it while it is open: an interrupted run removes its files that way.
  HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return windows_error(GetLastError(), Side::output, display_name);
  }
  *file = File(reinterpret_cast<intptr_t>(handle), display_name, Side::output);
  return {};
}

Status File::size(int64_t* bytes) const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(win(handle_), &size)) return failure(static_cast<int>(GetLastError()));
  *bytes = size.QuadPart;
  return {};
}

Status File::read_pieces_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                            size_t* got) const {
  *got = 0;
  for (std::span<std::byte> piece : pieces) {
    size_t filled = 0;
    while (filled < piece.size()) {
      OVERLAPPED overlapped = at_offset(offset + static_cast<int64_t>(*got));
      DWORD want = static_cast<DWORD>(std::min(piece.size() - filled, call_limit));
      DWORD n = 0;
      if (!ReadFile(win(handle_), piece.data() + filled, want, &n, &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) return {};
        return failure(static_cast<int>(error));
      }
      if (n == 0) return {};
      filled += n;
      *got += n;
    }
  }
  return {};
}

Status File::reserve(int64_t bytes) {
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = bytes;
  if (bytes > 0 && !SetFileInformationByHandle(win(handle_), FileAllocationInfo, &allocation,
                                               sizeof allocation)) {
    DWORD error = GetLastError();
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
      return failure(static_cast<int>(error));
    }
    // A file system that cannot reserve space: the writes will tell.
  }
  return {};
}

Status File::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(bytes.size(), call_limit));
    if (!WriteFile(win(handle_), bytes.data(), want, &n, nullptr)) {
      return failure(static_cast<int>(GetLastError()));
    }
    bytes = bytes.subspan(n);
  }
  return {};
}

Status File::write_at(int64_t offset, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    OVERLAPPED overlapped = at_offset(offset);
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(bytes.size(), call_limit));
    if (!WriteFile(win(handle_), bytes.data(), want, &n, &overlapped)) {
      return failure(static_cast<int>(GetLastError()));
    }
    offset += n;
    bytes = bytes.subspan(n);
  }
  return {};
}

std::optional<FileId> File::id() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(win(handle_), &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::optional<FileVersion> File::version() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(win(handle_), &info)) return std::nullopt;
  auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  };
  return FileVersion{static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow),
                     ticks(info.ftLastWriteTime), ticks(info.ftCreationTime)};
}

Status File::sync() {
  if (!FlushFileBuffers(win(handle_))) return failure(static_cast<int>(GetLastError()));
  return {};
}

Status File::close() {
  intptr_t handle = std::exchange(handle_, -1);
  if (handle != -1 && !CloseHandle(win(handle))) return failure(static_cast<int>(GetLastError()));
  return {};
}

std::optional<int64_t> free_space(const std::string& folder) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(wide_path(folder).c_str(), &available, nullptr, nullptr)) {
    return std::nullopt;
  }
  return static_cast<int64_t>(available.QuadPart);
}

}  // namespace demstitch
