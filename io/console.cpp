#include "io/console.hpp"

#include <cstdarg>

namespace demstitch {

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  // The analyzer does not see va_start through the printf attribute of the declaration.
  int length =
      std::vsnprintf(nullptr, 0, pattern, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  va_start(args, pattern);
  std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  va_end(args);
  return text;
}

}  // namespace demstitch
