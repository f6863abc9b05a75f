#include "io/windows_support.hpp"

namespace demstitch {

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
  return result;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string result(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n,
                      nullptr, nullptr);
  return result;
}

std::wstring wide_path(const std::string& path) {
  std::wstring result = wide(path);
  if (result.size() < 248 || result.starts_with(L"\\\\?\\")) return result;
  DWORD n = GetFullPathNameW(result.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(result.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

Status windows_error(DWORD code, Side side, const std::string& path) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Status::error(StatusKind::not_found, side, path, "No such file or directory");
    case ERROR_ACCESS_DENIED:
      return Status::error(StatusKind::io_error, side, path, "Permission denied");
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Status::error(StatusKind::io_error, side, path, "File exists");
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Status::error(StatusKind::no_space, side, path, "No space left on device");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return Status::error(StatusKind::no_memory, side, path, "Cannot allocate memory");
    case ERROR_TOO_MANY_OPEN_FILES:
      return Status::error(StatusKind::io_error, side, path, "Too many open files");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Status::error(StatusKind::io_error, side, path, "In use by another program");
    default:
      break;
  }
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = text != nullptr ? utf8(text) : "Windows error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return Status::error(StatusKind::io_error, side, path, reason);
}

}  // namespace demstitch
