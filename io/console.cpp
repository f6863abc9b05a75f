#include "io/console.hpp"

#include <unistd.h>

namespace demstitch {

bool Console::out_is_terminal() const { return ::isatty(::fileno(out_)) == 1; }

}  // namespace demstitch
