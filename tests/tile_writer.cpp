#include "tests/tile_writer.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "formats/tile_header.hpp"

namespace demstitch::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "demstitch-test-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string tile_raster(int rows, int cols, int base) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(rows) * cols * 2);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      auto value = static_cast<uint16_t>(base + r * cols + c);
      bytes.push_back(static_cast<char>(value >> 8));
      bytes.push_back(static_cast<char>(value & 0xFF));
    }
  }
  return bytes;
}

std::string bil_header(int rows, int cols, const std::string& ulx, const std::string& uly,
                       const std::string& spacing) {
  return bil_header_text(rows, cols, ulx, uly, spacing, 16);
}

namespace {

[[noreturn]] void exec_demstitch(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(DEMSTITCH_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(DEMSTITCH_BINARY, argv.data());
  ::_exit(127);
}

}  // namespace

Result run_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                     const Surroundings& surroundings) {
  const std::string out_path = folder / "stdout.txt";
  const std::string err_path = folder / "stderr.txt";
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    if (surroundings.stdout_closed) ::close(1);
    rlimit limit{surroundings.file_limit, surroundings.file_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    rlimit address{surroundings.address_limit, surroundings.address_limit};
    ::setrlimit(RLIMIT_AS, &address);
    exec_demstitch(args);
  }
  int wait_status = 0;
  rusage usage{};
  ::wait4(pid, &wait_status, 0, &usage);
  Result r;
  r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  r.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
  r.peak_kb = usage.ru_maxrss;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return r;
}

pid_t start_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                      int out_fd) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    ::dup2(out_fd, 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    exec_demstitch(args);
  }
  return pid;
}

}  // namespace demstitch::testing
