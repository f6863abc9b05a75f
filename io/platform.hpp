#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace demstitch {

// The process's platform: one implementation each (platform_posix.cpp,
// platform_windows.cpp).

// The command-line arguments in UTF-8, the program's name first. On Windows they are read
// again from the wide command line, so that any folder name survives, and a name with * or ?
// is expanded to the files it matches, as Windows shells leave that to the program.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Whether a stream is a terminal (a console).
bool is_terminal(std::FILE* stream);

// Opens standard input, output and error on the null device where they are closed, so that
// no file a run opens can take their numbers and receive console text.
void open_closed_standard_streams();

// Makes an interruption end the process at once, wherever it is, after removing the files
// registered below. On POSIX that is SIGINT, SIGTERM and SIGHUP, raised again with their
// default action so that a shell sees the program end by the signal (a file-size limit or a
// closed pipe makes a call fail instead); on Windows Ctrl-C, Ctrl-Break and closing the
// console, ending with the status of a program ended by Ctrl-C (0xC000013A). `farewell`
// (at most 255 bytes), where given, is written to standard error as the process ends so.
void end_on_interrupt_signals(std::string_view farewell = {});

// While one of these lives, an interruption waits (on POSIX, one delivered to this thread).
// Files are created and registered, and a result's files moved into place, under one.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Whether an interruption is waiting for a SignalsHeld to end: an install that sees one
// undoes itself, so that a run ended by a signal always leaves the earlier result.
bool interruption_pending();

// From here on an interruption no longer ends the process (one waiting is dropped): once a
// result is in place, the run finishes and says so. Does nothing unless
// end_on_interrupt_signals() was called.
void finish_whatever_interrupts();

// Files this process created that an interrupting signal must remove. A slot is an index
// that unregister_removal() takes back; -1 when the table is full (the file is then left).
int register_removal(const std::string& path);
void unregister_removal(int slot);

// Has the system give fresh memory its pages now, ready to be written, in one call rather
// than a fault a page while it is filled; the pages at the edges that the memory only
// partly covers are left to fault. Does nothing where the system cannot (it is only ever
// faster).
void prefault_for_writing(std::span<std::byte> memory);

// The user's cache folder for this program: $XDG_CACHE_HOME/demstitch, else
// ~/.cache/demstitch on POSIX; %LOCALAPPDATA%\demstitch on Windows. Empty where the
// environment names none.
std::string user_cache_folder();

// Sixty-four bits from the system's random source.
uint64_t random_bits();
// Sixteen hexadecimal digits of random_bits(), for names no other run picks.
std::string random_tag();

}  // namespace demstitch
