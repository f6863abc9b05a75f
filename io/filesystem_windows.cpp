#include <algorithm>

#include "io/filesystem.hpp"
#include "io/platform.hpp"
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

// The identity of what a name refers to: the link itself, or what it leads to.
std::optional<FileId> id_by_name(const std::string& path, DWORD link_flag) {
  HANDLE handle = CreateFileW(wide_path(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | link_flag, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileId> id = id_of(handle);
  CloseHandle(handle);
  return id;
}

// The names Windows keeps for its devices, with any extension: CON, CON.DEM and con.txt all
// name the console.
bool is_device_name(const std::string& path) {
  std::string name = base_name(path);
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (name == device) return true;
  }
  return name.size() == 4 && (name.starts_with("COM") || name.starts_with("LPT")) &&
         name[3] >= '0' && name[3] <= '9';
}

}  // namespace

const char* const path_separators = "\\/";

std::optional<FileId> file_id(const std::string& path) {
  return id_by_name(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

std::optional<FileId> target_id(const std::string& path) { return id_by_name(path, 0); }

FileKind file_kind(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::none;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::link;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::other : FileKind::regular;
}

bool is_folder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Status list_folder(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(wide_path(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return windows_error(GetLastError(), Side::input, folder);
  do {
    const std::string name = utf8(found.cFileName);
    if (name != "." && name != "..") names->push_back(name);
  } while (FindNextFileW(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return windows_error(error, Side::input, folder);
  std::sort(names->begin(), names->end());
  return {};
}

Status sync_folder(const std::string&) {
  // A rename with MOVEFILE_WRITE_THROUGH is on the disk when it returns.
  return {};
}

Status check_replaceable(const std::string& path) {
  if (is_device_name(path)) {
    return Status::error(StatusKind::io_error, Side::output, path,
                         "a device name on Windows, not a file: choose another name with --output");
  }
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

Status create_folders(const std::string& folder) {
  if (folder.empty() || is_folder(folder)) return {};
  const size_t slash = folder.find_last_of(path_separators);
  // A drive ("C:") or the root above it is there.
  if (slash != std::string::npos && slash > 0 && folder[slash - 1] != ':') {
    if (Status s = create_folders(folder.substr(0, slash)); !s.ok()) return s;
  }
  if (!CreateDirectoryW(wide_path(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return failed(folder);
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

namespace {

Status write_whole(HANDLE handle, std::string_view text, int64_t offset, const std::string& path) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  DWORD n = 0;
  if (!WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &n, &at) ||
      n != text.size()) {
    return windows_error(GetLastError(), Side::output, path);
  }
  return {};
}

// Takes the lock; false with *error unset where another run holds it.
bool take_lock(HANDLE handle, DWORD* error) {
  *error = 0;
  OVERLAPPED where{};
  where.OffsetHigh = lock_offset_high;
  if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
    return true;
  }
  DWORD code = GetLastError();
  if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) *error = code;
  return false;
}

Status busy(const std::string& path) {
  return Status::error(StatusKind::busy, Side::output, path, "another run is writing this result");
}

constexpr DWORD lock_access = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr DWORD lock_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A BASE.DEM.lock.new that no run holds is one a killed run left: it goes if it is empty or
// has the mark. *busy where another run holds it: that run is making the lock now.
Status remove_left_lock_file(const std::wstring& temporary, const std::string& path, bool* busy) {
  *busy = false;
  HANDLE other = CreateFileW(temporary.c_str(), lock_access, lock_sharing, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (other == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // Gone meanwhile, or going (a file held for deletion cannot be opened).
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_ACCESS_DENIED) return {};
    return windows_error(code, Side::output, path);
  }
  DWORD error = 0;
  if (!take_lock(other, &error)) {
    CloseHandle(other);
    *busy = error == 0;
    return error == 0 ? Status() : windows_error(error, Side::output, path);
  }
  // A positioned read at the end of a file fails (ERROR_HANDLE_EOF): an empty one is asked
  // its size instead.
  std::string first(LockFile::mark.size(), '\0');
  OVERLAPPED start{};
  DWORD n = 0;
  LARGE_INTEGER size{};
  const bool ours = (GetFileSizeEx(other, &size) && size.QuadPart == 0) ||
                    (ReadFile(other, first.data(), static_cast<DWORD>(first.size()), &n, &start) &&
                     n == first.size() && first == LockFile::mark);
  if (ours) {
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(other, FileDispositionInfo, &gone, sizeof gone);
  }
  CloseHandle(other);
  if (!ours) {
    return Status::error(StatusKind::io_error, Side::output, utf8(temporary),
                         "a file of someone else's under the name a lock file is made by");
  }
  return {};
}

// Makes the lock file whole, mark and all, and locked, as BASE.DEM.lock.new (one name for
// every run), then moves it to the lock's name where none stands, so that no run ever finds
// it empty. *taken when another run's file got the name first, or another run is making one.
Status create_lock_file(const std::string& path, HANDLE* created, bool* taken) {
  *taken = false;
  const std::wstring temporary = wide_path(path + ".new");
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    handle = CreateFileW(temporary.c_str(), lock_access, lock_sharing, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS && code != ERROR_ACCESS_DENIED) {
      return windows_error(code, Side::output, path);
    }
    if (Status s = remove_left_lock_file(temporary, path, taken); !s.ok() || *taken) return s;
    Sleep(1);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *taken = true;
    return {};
  }
  // Locked before the mark is written: a run that finds the file meanwhile leaves it alone.
  DWORD error = 0;
  Status s;
  if (!take_lock(handle, &error)) {
    *taken = error == 0;
    if (!*taken) s = windows_error(error, Side::output, path);
  }
  if (s.ok() && !*taken) s = write_whole(handle, LockFile::mark, 0, path);
  if (s.ok() && !*taken &&
      !MoveFileExW(temporary.c_str(), wide_path(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      *taken = true;
    } else {
      s = windows_error(error, Side::output, path);
    }
  }
  if (!s.ok() || *taken) {
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(handle);
    return s;
  }
  *created = handle;
  return {};
}

}  // namespace

Status LockFile::acquire(const std::string& path) {
  if (is_device_name(path)) return LockFile::not_a_lock(path, "a device name on Windows");
  // The run that holds the lock marks the file for deletion as it lets go; a run that opened
  // it just before finds another file, or none, under the name, and tries again.
  Status last;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Never through a link: a link is opened as itself, and refused.
    HANDLE handle = CreateFileW(wide_path(path).c_str(), lock_access, lock_sharing, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) {
        bool taken = false;
        if (Status s = create_lock_file(path, &handle, &taken); !s.ok()) return s;
        if (taken) {
          Sleep(1);  // another run is making the lock file
          continue;
        }
        handle_ = reinterpret_cast<intptr_t>(handle);
        path_ = path;
        size_ = static_cast<int64_t>(mark.size());
        return {};
      }
      last = windows_error(code, Side::output, path);
      // A file being deleted cannot be opened for a moment.
      if (code == ERROR_ACCESS_DENIED) {
        Sleep(10);
        continue;
      }
      return last;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
      CloseHandle(handle);
      return LockFile::not_a_lock(
          path, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "a folder" : "a link");
    }
    DWORD error = 0;
    if (!take_lock(handle, &error)) {
      CloseHandle(handle);
      return error != 0 ? windows_error(error, Side::output, path) : busy(path);
    }
    std::optional<FileId> held = id_of(handle);
    if (!held || file_id(path) != held) {
      CloseHandle(handle);
      continue;
    }
    std::string first(mark.size(), '\0');
    OVERLAPPED start{};
    DWORD n = 0;
    if (!ReadFile(handle, first.data(), static_cast<DWORD>(first.size()), &n, &start) ||
        n != first.size() || first != mark) {
      CloseHandle(handle);
      return LockFile::not_a_lock(path, "a file of someone else's");
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(handle, &size);
    handle_ = reinterpret_cast<intptr_t>(handle);
    path_ = path;
    size_ = size.QuadPart;
    return {};
  }
  return last.ok() ? busy(path) : last;
}

std::string LockFile::text() const {
  std::string text;
  char buffer[4096];
  for (;;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(mark.size() + text.size());
    DWORD n = 0;
    if (text.size() >= (1 << 20) || !ReadFile(win(handle_), buffer, sizeof buffer, &n, &at) ||
        n == 0) {
      break;
    }
    text.append(buffer, n);
  }
  return text;
}

Status LockFile::append(std::string_view line) {
  if (Status s = write_whole(win(handle_), line, size_, path_); !s.ok()) return s;
  size_ += static_cast<int64_t>(line.size());
  return {};
}

void LockFile::clear() {
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(mark.size());
  if (SetFilePointerEx(win(handle_), end, nullptr, FILE_BEGIN) && SetEndOfFile(win(handle_))) {
    size_ = end.QuadPart;
  }
}

Status LockFile::sync() {
  if (!FlushFileBuffers(win(handle_))) return windows_error(GetLastError(), Side::output, path_);
  return {};
}

void LockFile::release() {
  if (handle_ == -1) return;
  FILE_DISPOSITION_INFO gone{};
  gone.DeleteFile = TRUE;
  SetFileInformationByHandle(win(handle_), FileDispositionInfo, &gone, sizeof gone);
  // By name too: the file got its name by a move, and wine marks the name it was opened by.
  DeleteFileW(wide_path(path_).c_str());
  keep();
}

void LockFile::keep() {
  if (handle_ == -1) return;
  CloseHandle(win(handle_));
  handle_ = -1;
}

}  // namespace demstitch
