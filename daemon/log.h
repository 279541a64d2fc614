// What ombrixd says once running: reports, to syslog (opened as "ombrixd",
// where the library's own messages appear too) and as lines on standard
// error, but for a standard error that systemd leads into the journal; and
// state lines, to standard output and the service manager's status.
//
// Neither waits for its reader.  Once log_start() has run, each line goes
// into a bounded queue that a thread of its own writes out; a line that
// finds the queue full is dropped and counted, and the next one out says how
// many were lost.  So a stalled syslog or an unread pipe can hold up only
// that thread, never the rules.  A safety rule's line (report_kept()) is
// never the one dropped while the queue holds any other.
#pragma once

// Starts the writing thread.  Until then (start-up) lines are written at
// once.  Call once, after any fork.
void log_start();

// printf-style; safe from any thread.  One line: each control character
// of the text (a newline, an escape) is written as '?'.
void report(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The same, for a line that must not be lost to a flood: a safety rule
// tripping or clearing.  When the queue is full, the oldest other line
// makes room for it.
void report_kept(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// A state line, without its time: the time of this call goes before it on
// standard output; the status gets it as it is.
void show_line(const char *line);

// Waits up to timeout_s for the queue to be written out: for the end.
// Returns whether it was.
bool log_flush(double timeout_s);
