/*
 * ombrix: the heater state library for a temperature daemon.
 *
 * The daemon publishes room temperatures to the thermostat controller
 * `client` and reads back its heater command.  The two programs share only
 * two small text files; pass the paths the controller uses:
 *
 *   temperature file  "/tmp/temp"    one line, "%f\n" of the temperature
 *                                     ("72.500000\n"), written here
 *   status file       "/tmp/status"  "ON\n" or "OFF\n", written by client
 *
 * Rules of this interface:
 *  - It is plain C, usable from C11 and C++.  Link both modules,
 *    ombrix_state.o and ombrix_error.o; they need only the C library.
 *  - Every function returns an int result code from the OMBRIX_ERR set
 *    below (OMBRIX_OK, 0, for success) or a constant string; data comes
 *    out through pointer arguments, which must not be null.
 *  - Nothing is allocated, nothing stays open and nothing is kept between
 *    calls; calls may come in any order and any number of times.
 *  - Reports go to syslog at LOG_INFO under the caller's identity and
 *    facility: the library never calls openlog() or closelog().
 *  - Waits are blocking sleep() calls of whole seconds; a signal cuts a
 *    wait short and the call goes on with its next step.
 */
#ifndef OMBRIX_H
#define OMBRIX_H

#ifdef __cplusplus
extern "C" {
#endif

/* Heater states, as read from the status file. */
enum {
	OMBRIX_HEATER_ON = 0,  /* the status line holds "ON" */
	OMBRIX_HEATER_OFF = 1, /* the status line holds "OFF" and not "ON" */
};

/* Result codes.  The library's own calls return only OMBRIX_OK and
 * OMBRIX_ERR_FILE_OPEN, and ombrix_read_command() OMBRIX_ERR_UNKNOWN_STATE;
 * codes 2 to 6 are for the daemon's own conditions. */
enum {
	OMBRIX_OK = 0,
	OMBRIX_ERR_FILE_OPEN = 1,
	OMBRIX_ERR_FORK = 2,
	OMBRIX_ERR_SETSID = 3,
	OMBRIX_ERR_TERM_SIGNAL = 4,
	OMBRIX_ERR_KILL_SIGNAL = 5,
	OMBRIX_ERR_UNEXPECTED = 6,
	OMBRIX_ERR_UNKNOWN_STATE = 7,
};

/*
 * Publishes temperature in the file at path (a NUL-terminated path; pass
 * "/tmp/temp" to reach the controller) as one line in the "%f\n" form of the
 * C locale, whatever locale the caller has set.  The file is rewritten in
 * place, never emptied on the way; it must be a regular file with no other
 * name, and is never written through a symbolic link.
 *
 * A failed attempt (open, write, cut or close) is logged as
 * "failed temp write (<error>); retry with interval (<2 x wait>)" and retried
 * after waits of 1, 2, 4, 8, 16 and 32 seconds: six attempts at most.
 * Returns OMBRIX_OK once the line is written (at once, when the first
 * attempt succeeds), or OMBRIX_ERR_FILE_OPEN after six failed attempts and
 * 63 seconds of waits.
 */
int ombrix_write_temperature(const char *path, float temperature)
#ifdef __GNUC__
	__attribute__((nonnull(1)))
#endif
	;

/*
 * Reads the heater command from the status file at path (a NUL-terminated
 * path; pass "/tmp/status" to reach the controller) and stores the heater
 * state in *state, which must be a writable int.
 *
 * The first line of the file (at most 31 characters) is ON when "ON" occurs
 * anywhere in it, else OFF when "OFF" does; each is logged as "HEATER IS ON"
 * or "HEATER IS OFF".  A line with neither, or an empty file, is logged as
 * "we have an unknown heater state; assuming to ON." and taken as ON.
 *
 * Every attempt is followed by a wait: the call blocks for at least one
 * second unless a signal cuts the wait short.  A file that fails to open is
 * logged as "failed state read with (<error>); retry with interval
 * (<2 x wait>)" and tried again after a second wait as long as the first:
 * waits of 1+1, 2+2, ... 32+32 seconds, six attempts at most.
 * Returns OMBRIX_OK with *state set, or OMBRIX_ERR_FILE_OPEN after six
 * failed attempts and 126 seconds of waits, *state then left as it was.
 */
int ombrix_read_state(const char *path, int *state)
#ifdef __GNUC__
	__attribute__((nonnull(1, 2)))
#endif
	;

/*
 * Reads the heater command from the status file at path as
 * ombrix_read_state() does, with the same attempts, waits and log lines,
 * but strictly: only a first line that is "ON\n" or "OFF\n", as the
 * controller writes them, is a command.  Anything else (an empty file, a
 * cut-off, garbled or lower-case line, a FIFO or a folder at the path) is
 * no command: it is logged as "Encountered an unknown heater state!", *state
 * is left as it was and the call returns OMBRIX_ERR_UNKNOWN_STATE after its
 * wait, so that a daemon can switch its heater OFF instead of assuming ON.
 * Returns OMBRIX_OK with *state set, OMBRIX_ERR_UNKNOWN_STATE, or
 * OMBRIX_ERR_FILE_OPEN after six failed attempts and 126 seconds of waits.
 */
int ombrix_read_command(const char *path, int *state)
#ifdef __GNUC__
	__attribute__((nonnull(1, 2)))
#endif
	;

/*
 * The English sentence for a result code; any value outside the set gets
 * a sentence of its own.  The result is never null, is constant and lives as
 * long as the program: neither change nor free it.  No side effects.
 */
const char *ombrix_error_to_msg(int code);

#ifdef __cplusplus
}
#endif

#endif /* OMBRIX_H */
