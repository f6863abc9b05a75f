#include <fcntl.h>
#include <pthread.h>

#include "io/platform.hpp"
#include "io/posix_support.hpp"
#include "io/removal_table.hpp"
#if defined(DEMSTITCH_LINUX_CALLS)
#include <sys/mman.h>
#include <sys/random.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace demstitch {
namespace {

constexpr std::array interrupt_signals = {SIGINT, SIGTERM, SIGHUP};

// Written by the program with the signals held, read by the handler: each slot's path is
// complete before its flag says so.
using PathBuffer = std::array<char, 4096>;
RemovalTable<PathBuffer> removals;
std::atomic<bool> ending_on_interrupt{false};
// Written once before the handler is installed.
std::array<char, 256> farewell_text{};
size_t farewell_size = 0;

sigset_t interrupt_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : interrupt_signals) sigaddset(&set, s);
  return set;
}

extern "C" void end_by_signal(int signal) {
  // Only async-signal-safe calls here: unlink, write, and the re-raise.
  removals.for_each([](const PathBuffer& path) { ::unlink(path.data()); });
  if (farewell_size > 0) {
    [[maybe_unused]] const ssize_t written = ::write(2, farewell_text.data(), farewell_size);
  }
  // The handler was installed to reset itself: the pending signal now ends the process.
  ::raise(signal);
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

void open_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // open() takes the lowest free number, which is `fd` itself; anything else is a surprise
    // that must not stay open under another number.
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

void end_on_interrupt_signals(std::string_view farewell) {
  farewell_size = std::min(farewell.size(), farewell_text.size());
  std::copy_n(farewell.data(), farewell_size, farewell_text.data());
  struct sigaction action {};
  action.sa_handler = end_by_signal;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = interrupt_set();
  for (int s : interrupt_signals) ::sigaction(s, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  ending_on_interrupt = true;
}

bool interruption_pending() {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return false;
  for (int s : interrupt_signals) {
    if (sigismember(&pending, s) == 1) return true;
  }
  return false;
}

void finish_whatever_interrupts() {
  if (!ending_on_interrupt.exchange(false)) return;
  // Ignoring a signal also drops one that is waiting.
  for (int s : interrupt_signals) std::signal(s, SIG_IGN);
}

SignalsHeld::SignalsHeld() {
  sigset_t set = interrupt_set();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalsHeld::~SignalsHeld() {
  sigset_t set = interrupt_set();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int register_removal(const std::string& path) {
  return removals.add([&](PathBuffer& buffer) {
    if (path.size() >= buffer.size()) return false;
    std::memcpy(buffer.data(), path.c_str(), path.size() + 1);
    return true;
  });
}

void unregister_removal(int slot) { removals.remove(slot); }

void prefault_for_writing([[maybe_unused]] std::span<std::byte> memory) {
#if defined(DEMSTITCH_LINUX_CALLS) && defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto address = reinterpret_cast<uintptr_t>(memory.data());
  const size_t head = (page - address % page) % page;    // up to the first whole page
  const size_t tail = (address + memory.size()) % page;  // past the last one
  if (memory.size() < head + tail + page) return;
  // A kernel without it (before 5.14) says EINVAL: the pages then fault as they are written.
  ::madvise(memory.data() + head, memory.size() - head - tail, MADV_POPULATE_WRITE);
#endif
}

std::string user_cache_folder() {
  // Only an absolute XDG_CACHE_HOME counts, as the base directory rules say.
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/demstitch";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/demstitch";
  return {};
}

uint64_t random_bits() {
#if defined(DEMSTITCH_LINUX_CALLS)
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
#endif
  std::random_device device;
  return (uint64_t{device()} << 32) ^ device();
}

}  // namespace demstitch
