// ombrix_state: publishing temperatures and reading the heater command.
// Each operation is one attempt wrapped in a retry with doubling waits.

#include "ombrix.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <langinfo.h>
#include <syslog.h>
#include <unistd.h>

#include "exchange.h"

static_assert(sizeof(int) == 4, "result codes and heater states are 32-bit ints");

namespace {

constexpr int8_t first_wait_s = 1;  // doubled after every failed attempt
constexpr int8_t last_wait_s = 63;  // so waits run 1, 2, 4, 8, 16, 32 seconds
constexpr int line_len = 32;        // status line: 31 characters and a NUL
constexpr int text_len = 64;        // "%f\n" of any float, with room to spare

// Formats t into text as "%f\n" does in the C locale, whatever the caller's
// LC_NUMERIC: a decimal comma would make the controller read 72,5 as 72.
// Returns the length, or -1 with errno set.
int format_temperature(char (&text)[text_len], float t)
{
	int len = std::snprintf(text, sizeof text, "%f\n", static_cast<double>(t));
	if (len < 0 || len >= text_len) {
		errno = EOVERFLOW;
		return -1;
	}
	const char *radix = nl_langinfo(RADIXCHAR);
	if (!*radix || std::strcmp(radix, ".") == 0)
		return len;
	char *at = std::strstr(text, radix);
	if (!at)
		return len;  // inf or nan
	size_t radix_len = std::strlen(radix);
	*at = '.';
	std::memmove(at + 1, at + radix_len, static_cast<size_t>(text + len + 1 - (at + radix_len)));
	return len - static_cast<int>(radix_len - 1);
}

// One attempt at publishing temperature.  Any step that fails, with errno
// left as it failed, makes the attempt fail.
int _write_temperature(const char *path, float temperature)
{
	char text[text_len];
	int len = format_temperature(text, temperature);
	if (len < 0)
		return OMBRIX_ERR_FILE_OPEN;
	if (rewrite(path, text, static_cast<size_t>(len)) < 0)
		return OMBRIX_ERR_FILE_OPEN;
	return OMBRIX_OK;
}

// Reads the first line of the status file (at most line_len - 1
// characters) into line: empty when the file holds none.  Returns false,
// errno set, when the file does not open.
bool read_line(const char *path, char (&line)[line_len])
{
	char buf[read_buf_len];
	File f(open_read(path, "rb", buf));
	if (!f.get())
		return false;
	if (!std::fgets(line, sizeof line, f.get()))
		line[0] = '\0';
	return true;
}

int found(int *state, int heater)
{
	syslog(LOG_INFO, heater == OMBRIX_HEATER_ON ? "HEATER IS ON" : "HEATER IS OFF");
	*state = heater;
	return OMBRIX_OK;
}

// One attempt at reading the heater state.  Returns OMBRIX_ERR_FILE_OPEN,
// errno set, when the file does not open; OMBRIX_ERR_UNKNOWN_STATE when its
// first line holds neither token, state then left alone.
int _read_state(const char *path, int *state)
{
	char line[line_len];
	if (!read_line(path, line))
		return OMBRIX_ERR_FILE_OPEN;
	if (std::strstr(line, "ON"))
		return found(state, OMBRIX_HEATER_ON);
	if (std::strstr(line, "OFF"))
		return found(state, OMBRIX_HEATER_OFF);
	return OMBRIX_ERR_UNKNOWN_STATE;
}

// The same attempt, strict: the first line must be a command exactly as
// the controller writes it.
int _read_command(const char *path, int *state)
{
	char line[line_len];
	if (!read_line(path, line))
		return OMBRIX_ERR_FILE_OPEN;
	if (std::strcmp(line, "ON\n") == 0)
		return found(state, OMBRIX_HEATER_ON);
	if (std::strcmp(line, "OFF\n") == 0)
		return found(state, OMBRIX_HEATER_OFF);
	return OMBRIX_ERR_UNKNOWN_STATE;
}

// The retries both reads share.  Every attempt is followed by a wait; a
// file that does not open is logged and waited for once more, and the wait
// doubles.  Returns the last attempt's result.
int read_with_retry(const char *path, int *state, int (*attempt)(const char *, int *))
{
	int8_t wait_s = first_wait_s;
	int rc;
	do {
		rc = attempt(path, state);
		int err = errno;
		sleep(static_cast<unsigned>(wait_s));
		if (rc == OMBRIX_ERR_FILE_OPEN) {
			syslog(LOG_INFO, "failed state read with (%s); retry with interval (%d)",
			       std::strerror(err), wait_s * 2);
			sleep(static_cast<unsigned>(wait_s));
			wait_s = static_cast<int8_t>(wait_s * 2);
		}
	} while (rc == OMBRIX_ERR_FILE_OPEN && wait_s <= last_wait_s);
	return rc;
}

} // namespace

int ombrix_write_temperature(const char *path, float temperature)
{
	int8_t wait_s = first_wait_s;
	int rc;
	do {
		rc = _write_temperature(path, temperature);
		if (rc != OMBRIX_OK) {
			syslog(LOG_INFO, "failed temp write (%s); retry with interval (%d)",
			       std::strerror(errno), wait_s * 2);
			sleep(static_cast<unsigned>(wait_s));
			wait_s = static_cast<int8_t>(wait_s * 2);
		}
	} while (rc != OMBRIX_OK && wait_s <= last_wait_s);
	return rc;
}

int ombrix_read_state(const char *path, int *state)
{
	int rc = read_with_retry(path, state, _read_state);
	if (rc == OMBRIX_ERR_UNKNOWN_STATE) {
		syslog(LOG_INFO, "we have an unknown heater state; assuming to ON.");
		*state = OMBRIX_HEATER_ON;
		rc = OMBRIX_OK;
	}
	return rc;
}

int ombrix_read_command(const char *path, int *state)
{
	int rc = read_with_retry(path, state, _read_command);
	if (rc == OMBRIX_ERR_UNKNOWN_STATE)
		syslog(LOG_INFO, "Encountered an unknown heater state!");
	return rc;
}
