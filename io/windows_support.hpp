#pragma once

// Helpers shared by the Windows implementations of the io layer; included by them only.
#include <windows.h>

#include <string>

#include "base/status.hpp"

namespace demstitch {

// A UTF-8 path as Windows takes it: wide characters, with the long-path prefix once it
// would pass the old limit of 260 characters.
std::wstring wide_path(const std::string& path);
std::wstring wide(const std::string& text);
std::string utf8(const std::wstring& text);

// A failed call's error code as a status: the kinds and, for the common ones, the same
// texts as on POSIX, so that messages read the same on both.
Status windows_error(DWORD code, Side side, const std::string& path);

}  // namespace demstitch
