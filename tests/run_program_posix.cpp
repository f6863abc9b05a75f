#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/run_program.hpp"

namespace demstitch::testing {

namespace {

std::string cache_home_for(const std::string& chosen) {
  if (!chosen.empty()) return chosen;
  return (std::filesystem::temp_directory_path() / "demstitch-test-cache").string();
}

[[noreturn]] void exec_demstitch(const std::vector<std::string>& args, const std::string& cache,
                                 const std::vector<std::string>& wrapper = {}) {
  ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& a : wrapper) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(const_cast<char*>(DEMSTITCH_BINARY));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

Result run_demstitch(const std::filesystem::path& folder, const std::vector<std::string>& args,
                     const Surroundings& surroundings) {
  const std::string out_path = folder / "stdout.txt";
  const std::string err_path = folder / "stderr.txt";
  const std::string cache = cache_home_for(surroundings.cache_home);
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
    exec_demstitch(args, cache, surroundings.wrapper);
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
  const std::string cache = cache_home_for({});
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    ::dup2(out_fd, 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    exec_demstitch(args, cache);
  }
  return pid;
}

}  // namespace demstitch::testing
