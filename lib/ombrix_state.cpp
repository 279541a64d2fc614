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

// One attempt at reading the heater state.  Returns OMBRIX_ERR_FILE_OPEN,
// errno set, when the file does not open; OMBRIX_ERR_UNKNOWN_STATE when its
// first line holds neither token, state then left alone.
int _read_state(const char *path, int *state)
{
	char buf[read_buf_len];
	File f(open_read(path, "rb", buf));
	if (!f.get())
		return OMBRIX_ERR_FILE_OPEN;
	char line[line_len];
	if (!std::fgets(line, sizeof line, f.get()))
		line[0] = '\0';
	if (std::strstr(line, "ON")) {
		syslog(LOG_INFO, "HEATER IS ON");
		*state = OMBRIX_HEATER_ON;
		return OMBRIX_OK;
	}
	if (std::strstr(line, "OFF")) {
		syslog(LOG_INFO, "HEATER IS OFF");
		*state = OMBRIX_HEATER_OFF;
		return OMBRIX_OK;
	}
	return OMBRIX_ERR_UNKNOWN_STATE;
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
	int8_t wait_s = first_wait_s;
	int rc;
	do {
		rc = _read_state(path, state);
		int err = errno;
		sleep(static_cast<unsigned>(wait_s));
		if (rc == OMBRIX_ERR_UNKNOWN_STATE) {
			syslog(LOG_INFO, "we have an unknown heater state; assuming to ON.");
			*state = OMBRIX_HEATER_ON;
			rc = OMBRIX_OK;
		} else if (rc != OMBRIX_OK) {
			syslog(LOG_INFO, "failed state read with (%s); retry with interval (%d)",
			       std::strerror(err), wait_s * 2);
			sleep(static_cast<unsigned>(wait_s));
			wait_s = static_cast<int8_t>(wait_s * 2);
		}
	} while (rc != OMBRIX_OK && wait_s <= last_wait_s);
	return rc;
}
