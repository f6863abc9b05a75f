#include "io/filesystem.hpp"
#include "io/windows_support.hpp"

namespace demstitch {
namespace {

HANDLE win(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

Status failed(const std::string& path) { return windows_error(GetLastError(), Side::output, path); }

std::optional<FileId> id_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The lock is one byte far past any text the file holds.
constexpr DWORD lock_offset_high = 0x40000000;

}  // namespace

const char* const path_separators = "\\/";

std::optional<FileId> file_id(const std::string& path) {
  HANDLE handle = CreateFileW(
      wide_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileId> id = id_of(handle);
  CloseHandle(handle);
  return id;
}

Status check_replaceable(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Status::error(StatusKind::io_error, Side::output, path, "Is a directory");
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return windows_error(ERROR_ACCESS_DENIED, Side::output, path);
  }
  return {};
}

Status replace_file(const std::string& from, const std::string& to) {
  if (!MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return failed(to);
  }
  return {};
}

Status link_file(const std::string& existing, const std::string& second) {
  if (!CreateHardLinkW(wide_path(second).c_str(), wide_path(existing).c_str(), nullptr)) {
    return failed(existing);
  }
  return {};
}

Status remove_file(const std::string& path) {
  std::wstring name = wide_path(path);
  if (DeleteFileW(name.c_str())) return {};
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (GetLastError() == ERROR_ACCESS_DENIED ||
      (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(name.c_str())) return {};
  }
  return failed(path);
}

bool create_unnamed(const std::string&, const std::string&, File*) { return false; }

Status name_file(const File& file, const std::string&) {
  return Status::error(StatusKind::io_error, Side::output, file.name(), "Not supported");
}

Status LockFile::acquire(const std::string& path, const std::string& display_name) {
  // The run that holds the lock marks the file for deletion as it lets go; a run that opened
  // it just before finds another file, or none, under the name, and tries again.
  Status last;
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      // A file being deleted cannot be opened for a moment.
      last = windows_error(GetLastError(), Side::output, display_name);
      if (GetLastError() == ERROR_ACCESS_DENIED) {
        Sleep(10);
        continue;
      }
      return last;
    }
    OVERLAPPED where{};
    where.OffsetHigh = lock_offset_high;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
      DWORD error = GetLastError();
      CloseHandle(handle);
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return Status::error(StatusKind::busy, Side::output, display_name,
                             "another run is writing this result");
      }
      return windows_error(error, Side::output, display_name);
    }
    std::optional<FileId> held = id_of(handle);
    if (held && file_id(path) == held) {
      LARGE_INTEGER size{};
      GetFileSizeEx(handle, &size);
      handle_ = reinterpret_cast<intptr_t>(handle);
      path_ = path;
      size_ = size.QuadPart;
      return {};
    }
    CloseHandle(handle);
  }
  return last.ok() ? Status::error(StatusKind::busy, Side::output, display_name,
                                   "another run is writing this result")
                   : last;
}

std::string LockFile::text() const {
  std::string text;
  char buffer[4096];
  for (;;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(text.size());
    DWORD n = 0;
    if (text.size() >= (1 << 20) || !ReadFile(win(handle_), buffer, sizeof buffer, &n, &at) ||
        n == 0) {
      break;
    }
    text.append(buffer, n);
  }
  return text;
}

void LockFile::append(std::string_view line) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(size_);
  DWORD n = 0;
  if (WriteFile(win(handle_), line.data(), static_cast<DWORD>(line.size()), &n, &at) &&
      n == line.size()) {
    size_ += n;
  }
}

void LockFile::clear() {
  LARGE_INTEGER zero{};
  if (SetFilePointerEx(win(handle_), zero, nullptr, FILE_BEGIN) && SetEndOfFile(win(handle_))) {
    size_ = 0;
  }
}

void LockFile::release() {
  if (handle_ == -1) return;
  FILE_DISPOSITION_INFO gone{};
  gone.DeleteFile = TRUE;
  SetFileInformationByHandle(win(handle_), FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(win(handle_));
  handle_ = -1;
}

}  // namespace demstitch
