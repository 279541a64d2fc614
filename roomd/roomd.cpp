// roomd: a simulated temperature daemon, to run the thermostat without a
// real one.  It models a room that loses heat to the cold outside and gains
// heat while the heater is ON, publishes the room temperature to /tmp/temp
// through ombrix, reads the heater state back from /tmp/status, and prints
// one line a step: seconds since start, room temperature, the status file's
// line ("-" when there is none) and the heater state as the library read it.
//
// usage: roomd [seconds [start-temperature]]
// Runs for the seconds given (for ever when 0 or none), or until SIGINT or
// SIGTERM.  Exits 0 then, 1 when the library gives up, 2 on bad arguments.

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <syslog.h>

#include "exchange.h"
#include "ombrix.h"

namespace {

constexpr const char *temp_path = "/tmp/temp";
constexpr const char *status_path = "/tmp/status";
constexpr double outside = 50.0;        // degrees
constexpr double loss_per_s = 0.02;     // share of the room-outside gap lost a second
constexpr double heater_per_s = 1.2;    // degrees a second the heater adds
constexpr double start_default = 72.0;  // degrees

double now_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The room temperature dt seconds on: it decays exponentially towards the
// balance between the heater (if on) and the loss to the outside.
double advance(double temp, bool heater_on, double dt)
{
	double balance = outside + (heater_on ? heater_per_s / loss_per_s : 0.0);
	return balance + (temp - balance) * std::exp(-loss_per_s * dt);
}

// Shows the status file's first line as it stands, for the person watching;
// opened as the library opens it, so a planted FIFO cannot hang the display.
void show_status(char (&line)[16])
{
	char buf[read_buf_len];
	File f(open_read(status_path, "r", buf));
	if (!f.get() || !std::fgets(line, sizeof line, f.get()))
		line[0] = '\0';
	for (char *c = line; *c; c++)
		if (*c == '\n')
			*c = '\0';
}

// The code for a termination signal if one is pending, else OMBRIX_OK.
int pending_signal(const sigset_t &stops)
{
	timespec no_wait{};
	int sig = sigtimedwait(&stops, nullptr, &no_wait);
	if (sig == SIGTERM)
		return OMBRIX_ERR_TERM_SIGNAL;
	if (sig == SIGINT)
		return OMBRIX_ERR_KILL_SIGNAL;
	return OMBRIX_OK;
}

// Parses the whole of text as a finite number into *out.
bool number(const char *text, double *out)
{
	char *end;
	errno = 0;
	*out = std::strtod(text, &end);
	return end != text && *end == '\0' && errno == 0 && std::isfinite(*out);
}

int fail(int code)
{
	std::fprintf(stderr, "roomd: %s\n", ombrix_error_to_msg(code));
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	double seconds = 0.0, temp = start_default;
	if (argc > 3 || (argc > 1 && (!number(argv[1], &seconds) || seconds < 0)) ||
	    (argc > 2 && !number(argv[2], &temp))) {
		std::fprintf(stderr, "usage: roomd [seconds [start-temperature]]\n");
		return 2;
	}

	// Stop signals are taken between steps, never in the middle of one.
	sigset_t stops;
	sigemptyset(&stops);
	sigaddset(&stops, SIGINT);
	sigaddset(&stops, SIGTERM);
	if (sigprocmask(SIG_BLOCK, &stops, nullptr) < 0)
		return fail(OMBRIX_ERR_UNEXPECTED);
	openlog("roomd", LOG_PID, LOG_DAEMON);

	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	std::printf(" time   room  status  heater\n");
	double start = now_s(), last = start;
	int state = OMBRIX_HEATER_OFF;
	for (;;) {
		int stop = pending_signal(stops);
		if (stop != OMBRIX_OK) {
			std::printf("roomd: %s\n", ombrix_error_to_msg(stop));
			return 0;
		}
		double t = now_s();
		if (seconds > 0 && t - start >= seconds)
			return 0;
		temp = advance(temp, state == OMBRIX_HEATER_ON, t - last);
		last = t;
		int rc = ombrix_write_temperature(temp_path, static_cast<float>(temp));
		if (rc != OMBRIX_OK)
			return fail(rc);
		rc = ombrix_read_state(status_path, &state);
		if (rc != OMBRIX_OK)
			return fail(rc);
		char status[16];
		show_status(status);
		std::printf("%5.0f  %5.2f  %-6s  %s\n", t - start, temp, *status ? status : "-",
		            state == OMBRIX_HEATER_ON ? "ON" : "off");
	}
}
