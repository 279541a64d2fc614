// Reports once running: each goes to syslog (opened as "ombrixd", where the
// library's own messages appear too) and as a line on standard error, but
// for a standard error that systemd leads into the journal.
#pragma once

// printf-style; safe from any thread.
void report(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
