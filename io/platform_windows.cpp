#include "io/platform.hpp"

// windows.h comes before the other system headers, which need what it declares.
#include "io/removal_table.hpp"
#include "io/windows_support.hpp"

// clang-format off
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <random>

namespace demstitch {
namespace {

// Held while files are created and registered, and while a result is installed; the
// handler of Ctrl-C takes it too, so it never acts in the middle of those.
struct Guard {
  Guard() { InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
};
CRITICAL_SECTION& guard() {
  static Guard g;
  return g.section;
}

RemovalTable<std::wstring> removals;

// The status of a console program ended by Ctrl-C, as cmd.exe and PowerShell see it.
constexpr UINT control_c_exit = 0xC000013A;

// Set as the handler starts, before it waits for the guard; once the result is in place,
// the handler lets the run finish.
std::atomic<bool> interrupted{false};
std::atomic<bool> finishing{false};
std::string farewell_text;  // written once before the handler is installed

BOOL WINAPI end_by_control(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  interrupted = true;
  EnterCriticalSection(&guard());
  if (finishing) {
    LeaveCriticalSection(&guard());
    return TRUE;
  }
  removals.for_each([](const std::wstring& path) { DeleteFileW(path.c_str()); });
  if (!farewell_text.empty()) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), farewell_text.data(),
              static_cast<DWORD>(farewell_text.size()), &written, nullptr);
  }
  ExitProcess(control_c_exit);
}

// The names a pattern with * or ? matches, sorted, with the pattern's folder before each;
// the pattern itself when it matches nothing. (Windows shells leave patterns to programs.)
std::vector<std::string> expand(const std::wstring& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    const std::wstring folder = pattern.substr(0, pattern.find_last_of(L"\\/:") + 1);
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        names.push_back(utf8(folder + found.cFileName));
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back(utf8(pattern));
  return names;
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_args == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    std::wstring arg = wide_args[i];
    if (i > 0 && !arg.starts_with(L"-") && arg.find_first_of(L"*?") != std::wstring::npos) {
      for (std::string& name : expand(arg)) args.push_back(std::move(name));
    } else {
      args.push_back(utf8(arg));
    }
  }
  LocalFree(wide_args);
  return args;
}

bool is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void open_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1 && _get_osfhandle(fd) != -2) continue;
    int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened >= 0 && opened != fd) {
      _dup2(opened, fd);
      _close(opened);
    }
  }
}

void end_on_interrupt_signals(std::string_view farewell) {
  farewell_text.assign(farewell.substr(0, 255));
  SetConsoleCtrlHandler(end_by_control, TRUE);
}

bool interruption_pending() { return interrupted; }

void finish_whatever_interrupts() { finishing = true; }

SignalsHeld::SignalsHeld() { EnterCriticalSection(&guard()); }

SignalsHeld::~SignalsHeld() { LeaveCriticalSection(&guard()); }

int register_removal(const std::string& path) {
  SignalsHeld held;
  return removals.add([&](std::wstring& stored) {
    stored = wide_path(path);
    return true;
  });
}

void unregister_removal(int slot) { removals.remove(slot); }

// Windows commits pages as they are written; nothing is asked ahead.
void prefault_for_writing(std::span<std::byte> /*memory*/) {}

std::string user_cache_folder() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return {};
  return utf8(local) + "\\demstitch";
}

uint64_t random_bits() {
  std::random_device device;
  return (uint64_t{device()} << 32) ^ device() ^ GetTickCount64() ^
         (uint64_t{GetCurrentProcessId()} << 16);
}

}  // namespace demstitch
