// Running the shell commands of exec: sensors and heaters.  Named shell.h,
// not spawn.h, so as not to hide the C library's <spawn.h> on the include
// path.
#pragma once

#include <cstddef>

// Runs "/bin/sh -c command" with standard input from /dev/null, default
// signal dispositions and an empty signal mask, in a process group of its
// own.  Its standard output is read into out
// (NUL-terminated when out_len is not 0; what does not fit is read and
// dropped); its standard error is ours.  At timeout_s, or as soon as
// cancel_fd (when not -1) polls readable, the whole group is killed; once
// the shell has ended, whatever it left running in its group is killed
// too, and output after that does not count.  Safe to call from several
// threads at once.
// Returns the exit status (0 to 255), or -1 when it could not start, died
// of a signal, was killed at the timeout or cancelled; *why then says which.
int run_shell(const char *command, double timeout_s, int cancel_fd, char *out, size_t out_len,
              const char **why);

// The *why of a cancelled command.
extern const char *const shell_cancelled;
