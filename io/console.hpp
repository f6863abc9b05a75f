#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/strings.hpp"
#include "io/platform.hpp"

namespace demstitch {

// The two console streams. Text goes out as it is but for control characters, shown as
// "\xNN": progress lines end in a bare carriage return so that on a terminal each
// overwrites the one before.
class Console {
 public:
  Console(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  // No control character but the line ends and tabs reaches the terminal, whatever a name
  // held.
  void print(std::string_view text) {
    const std::string shown = printable_lines(text);
    std::fwrite(shown.data(), 1, shown.size(), out_);
    if (!shown.empty()) last_printed_ = shown.back();
  }
  // Standard output is flushed first so that the two streams keep their order.
  void error(std::string_view text) {
    std::fflush(out_);
    const std::string shown = printable_lines(text);
    std::fwrite(shown.data(), 1, shown.size(), err_);
    std::fflush(err_);
  }
  void flush() { std::fflush(out_); }
  // The last character printed to standard output, or 0.
  char last_printed() const { return last_printed_; }
  // Whether standard output is a terminal.
  bool out_is_terminal() const { return is_terminal(out_); }

 private:
  std::FILE* out_;
  std::FILE* err_;
  char last_printed_ = 0;
};

}  // namespace demstitch
