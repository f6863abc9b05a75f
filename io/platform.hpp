#pragma once

#include <string>

namespace demstitch {

// Opens standard input, output and error on the null device where they are closed, so that
// no file a run opens can take their numbers and receive console text.
void open_closed_standard_streams();

// Makes SIGINT, SIGTERM and SIGHUP end the process at once, wherever it is: the files
// registered below are removed, then the signal is raised again with its default action, so
// that a shell sees the program end by that signal. A file-size limit or a closed pipe makes
// a call fail instead of ending the process.
void end_on_interrupt_signals();

// While one of these lives, the signals above wait (on this thread). Files are created and
// registered, and a result's files moved into place, under one.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Files this process created that an interrupting signal must remove. A slot is an index
// that unregister_removal() takes back; -1 when the table is full (the file is then left).
int register_removal(const std::string& path);
void unregister_removal(int slot);

// Sixteen hexadecimal digits from the system's random source, for names no other run picks.
std::string random_tag();

}  // namespace demstitch
