// The same from C++: the header declares everything extern "C".
// Build: c++ -std=c++20 mydaemon.cpp $(pkg-config --cflags --libs ombrix)
#include <cstdio>

#include <syslog.h>

#include <ombrix.h>

int main()
{
	openlog("mydaemon", LOG_PID, LOG_DAEMON);
	int state = OMBRIX_HEATER_OFF;
	int rc = ombrix_write_temperature("/tmp/temp", 66.5f);
	if (rc == OMBRIX_OK)
		rc = ombrix_read_state("/tmp/status", &state);
	if (rc != OMBRIX_OK) {
		std::fprintf(stderr, "mydaemon: %s\n", ombrix_error_to_msg(rc));
		return 1;
	}
	std::printf("heater %s\n", state == OMBRIX_HEATER_ON ? "on" : "off");
}
