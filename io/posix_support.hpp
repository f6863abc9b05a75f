#pragma once

// Shared by the POSIX implementations of the io layer; included by them only.

// Linux-only calls have a portable fallback, which DEMSTITCH_PORTABLE_POSIX forces so that a
// build for another POSIX system has tested code.
#if defined(__linux__) && !defined(DEMSTITCH_PORTABLE_POSIX)
#define DEMSTITCH_LINUX_CALLS 1
#endif
