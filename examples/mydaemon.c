/* A temperature daemon's use of ombrix, in C: publish a reading, then
 * learn the heater command.  Build: cc mydaemon.c $(pkg-config --cflags --libs ombrix) */
#include <stdio.h>
#include <syslog.h>

#include <ombrix.h>

int main(void)
{
	int state = OMBRIX_HEATER_OFF;
	int rc;

	openlog("mydaemon", LOG_PID, LOG_DAEMON); /* the library logs as us */
	rc = ombrix_write_temperature("/tmp/temp", 66.5f);
	if (rc == OMBRIX_OK)
		rc = ombrix_read_state("/tmp/status", &state); /* waits 1 s at least */
	if (rc != OMBRIX_OK) {
		fprintf(stderr, "mydaemon: %s\n", ombrix_error_to_msg(rc));
		return 1;
	}
	printf("heater %s\n", state == OMBRIX_HEATER_ON ? "on" : "off");
	return 0;
}
