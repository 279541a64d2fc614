/* Proves the library's C ABI: this plain C11 program includes the header and
 * is linked by the C compiler with the two modules alone, no C++ runtime.
 * It brings its own sleep() and syslog() so that nothing waits. */
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "ombrix.h"

static int logged;

unsigned int sleep(unsigned int seconds)
{
	(void)seconds;
	return 0;
}

void syslog(int priority, const char *fmt, ...)
{
	(void)priority;
	(void)fmt;
	logged++;
}

void __syslog_chk(int priority, int flag, const char *fmt, ...)
{
	(void)priority;
	(void)flag;
	(void)fmt;
	logged++;
}

static int failed;

static void check(int ok, const char *what)
{
	if (!ok) {
		fprintf(stderr, "failed: %s\n", what);
		failed++;
	}
}

int main(int argc, char **argv)
{
	char temp[4096], status[4096], line[64] = "";
	int state = -1;
	FILE *f;

	if (argc != 2)
		return 2;
	snprintf(temp, sizeof temp, "%s/c_link_temp", argv[1]);
	snprintf(status, sizeof status, "%s/c_link_status", argv[1]);

	check(ombrix_write_temperature(temp, 66.0f) == OMBRIX_OK, "write returns OMBRIX_OK");
	f = fopen(temp, "r");
	check(f && fgets(line, sizeof line, f) && strcmp(line, "66.000000\n") == 0, "file holds 66.000000");
	if (f)
		fclose(f);

	f = fopen(status, "w");
	check(f && fputs("OFF\n", f) >= 0, "status file made");
	if (f)
		fclose(f);
	check(ombrix_read_state(status, &state) == OMBRIX_OK && state == OMBRIX_HEATER_OFF, "reads OFF");
	check(logged == 1, "one report");
	check(ombrix_read_command(status, &state) == OMBRIX_OK && state == OMBRIX_HEATER_OFF,
	      "reads the command OFF");
	check(strcmp(ombrix_error_to_msg(OMBRIX_ERR_UNKNOWN_STATE),
	             "Encountered an unknown heater state!") == 0, "catalogue");

	remove(temp);
	remove(status);
	printf("%d passed, %d failed\n", 7 - failed, failed);
	return failed != 0;
}
