// ombrixd: the temperature daemon.  It reads a sensor, publishes good
// readings to the thermostat controller through the ombrix library, reads
// back the controller's command and drives a heater to match, unless one
// of the safety rules holds the heater OFF.
//
// Threads: the supervisor (main) owns the rules and the heater and is the
// only one to switch it.  The sensor thread reads every period; the
// exchange thread calls the library, whose waits block it for up to 126 s;
// the bus has a thread of its own.  They all post to the supervisor's
// mailbox, so no rule ever waits for the library or the network.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include "bus.h"
#include "clock.h"
#include "config.h"
#include "heater.h"
#include "log.h"
#include "mailbox.h"
#include "ombrix.h"
#include "room.h"
#include "rules.h"
#include "sensor.h"

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr double bus_switch_off_s = 5;  // for the broker to acknowledge OFF
constexpr unsigned mismatch_periods = 3;

void sleep_until(double t)
{
	timespec ts;
	ts.tv_sec = static_cast<time_t>(t);
	ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
	}
}

// The exchange with the controller, on a thread of its own: each good
// reading is published, then the command is read back, at least once a
// period even while no reading comes.
class Exchange {
public:
	void offer(float t)
	{
		{
			std::lock_guard<std::mutex> hold(lock_);
			temp_ = t;
			fresh_ = true;
		}
		wake_.notify_one();
	}

	void run(const Config &cfg, Mailbox &mb)
	{
		auto period = std::chrono::duration<double>(cfg.period_s);
		for (;;) {
			float t = 0;
			bool have;
			{
				std::unique_lock<std::mutex> hold(lock_);
				wake_.wait_for(hold, period, [this] { return fresh_; });
				have = fresh_;
				t = temp_;
				fresh_ = false;
			}
			if (have)
				publish(cfg, t);
			mb.post_command(read_command(cfg));
		}
	}

private:
	static void publish(const Config &cfg, float t)
	{
		int rc = ombrix_write_temperature(cfg.temp_file.c_str(), t);
		if (rc != OMBRIX_OK)
			report(LOG_ERR, "cannot publish the temperature: %s", ombrix_error_to_msg(rc));
	}

	static rules::Command read_command(const Config &cfg)
	{
		int state = OMBRIX_HEATER_OFF;
		if (ombrix_read_state(cfg.status_file.c_str(), &state) != OMBRIX_OK)
			return rules::Command::unknown;
		return state == OMBRIX_HEATER_ON ? rules::Command::on : rules::Command::off;
	}

	std::mutex lock_;
	std::condition_variable wake_;
	float temp_ = 0;
	bool fresh_ = false;
};

// Reads the sensor every period, on a thread of its own: a w1 chip takes
// most of a second to convert, an exec: command up to five.
void sense(const Sensor &s, Mailbox &mb, double period_s)
{
	for (double next = clock_s();; ) {
		Reading r = read_sensor(s, clock_s());
		mb.post_reading(r.value, r.why);
		next = std::fmax(next + period_s, clock_s());
		sleep_until(next);
	}
}

// Everything the supervisor keeps.
struct Daemon {
	const Config &cfg;
	rules::Settings settings;
	rules::State st;
	Heater &heater;
	Bus *bus;
	Mailbox &mb;
	Exchange &exchange;
	int signals;                    // signalfd
	double end_s;                   // --duration, or never
	bool driven = false;            // what the heater was last told
	double next_drive_s = never;    // when to tell it again
	const char *bad_why = nullptr;  // the last bad reading's reason, logged once
	const char *drive_why = nullptr;  // the last failed switch's reason, logged once a state
	char shown[128] = "";           // the last state line, without its time
	double watchdog_s = never;      // ping interval, or never
	double next_ping_s = never;
};

rules::Settings settings_of(const Config &cfg)
{
	rules::Settings s;
	s.sensor_timeout_s = cfg.sensor_timeout_s;
	s.min = cfg.min;
	s.max = cfg.max;
	s.heat_check_s = cfg.heat_check_s;
	s.heat_gain = cfg.heat_gain;
	s.max_on_s = cfg.max_on_s;
	s.lost_duty_pct = cfg.lost_duty_pct;
	s.mismatch_s = cfg.heater_state.empty() ? 0 : mismatch_periods * cfg.period_s;
	return s;
}

// Why a rule trips, for its one log line.
void report_trip(const Daemon &d, rules::Rule r)
{
	const rules::Settings &s = d.settings;
	const char *name = rules::name(r);
	switch (r) {
	case rules::sensor_lost:
		report(LOG_WARNING, "rule %s tripped: no good reading for %g s; heater OFF%s", name,
		       s.sensor_timeout_s, s.lost_duty_pct > 0 ? " but for the frost duty" : "");
		break;
	case rules::runaway:
		report(LOG_CRIT, "rule %s tripped: ON for %g s without rising %g; heater OFF until SIGHUP",
		       name, s.heat_check_s, s.heat_gain);
		break;
	case rules::max_on:
		report(LOG_CRIT, "rule %s tripped: ON for %g s without a break; heater OFF until SIGHUP",
		       name, s.max_on_s);
		break;
	case rules::state_unknown:
		report(LOG_WARNING, "rule %s tripped: the command cannot be read; heater OFF", name);
		break;
	case rules::heater_mismatch:
		report(LOG_WARNING, "rule %s tripped: the heater has not followed the command for %g s",
		       name, s.mismatch_s);
		break;
	case rules::duplicate_zone:
		report(LOG_CRIT, "rule %s tripped: another ombrixd holds zone %s; heater OFF until a restart", name,
		       d.cfg.zone.c_str());
		break;
	case rules::rule_count:
		break;
	}
}

void report_rules(const Daemon &d, const rules::Decision &dec)
{
	for (unsigned r = 0; r < rules::rule_count; r++) {
		if (dec.tripped & 1u << r)
			report_trip(d, static_cast<rules::Rule>(r));
		if (dec.cleared & 1u << r)
			report(LOG_NOTICE, "rule %s cleared", rules::name(static_cast<rules::Rule>(r)));
	}
}

void take_reading(Daemon &d, const Inbox &in, double now)
{
	float t = std::isnan(in.reading) ? in.reading
	                                 : static_cast<float>(convert(in.reading, sensor_unit(d.cfg), d.cfg.unit));
	if (rules::reading(d.st, d.settings, now, t)) {
		d.exchange.offer(t);
		if (d.bad_why)
			report(LOG_NOTICE, "good readings again");
		d.bad_why = nullptr;
		return;
	}
	const char *why = in.why ? in.why : "outside --min and --max";
	if (why != d.bad_why)
		report(LOG_WARNING, "bad reading: %s", why);
	d.bad_why = why;
}

void take_inbox(Daemon &d, double now)
{
	Inbox in = d.mb.take();
	if (in.has_reading)
		take_reading(d, in, now);
	if (in.has_command)
		rules::command(d.st, in.command);
	if (in.has_report)
		rules::heater_report(d.st, in.report);
	if (in.connected)
		d.next_drive_s = now;  // the plug gets the command at once
	if (in.duplicate)
		rules::duplicate(d.st);
}

void ping(Daemon &d, double now)
{
	if (now < d.next_ping_s)
		return;
	sd_notify(0, "WATCHDOG=1");
	d.next_ping_s = now + d.watchdog_s;
}

// Tells the heater what the rules decided: at once on a change, again a
// period after a failed switch, and every period for a heater that forgets.
// A switch may take up to exec_heater_timeout_s: the watchdog hears from
// us just before.
void drive(Daemon &d, bool on, double now)
{
	if (on == d.driven && now < d.next_drive_s)
		return;
	if (d.watchdog_s != never)
		d.next_ping_s = now;
	ping(d, now);
	const char *why = nullptr;
	bool ok = drive_heater(d.heater, on, now, &why);
	if (!ok && (why != d.drive_why || on != d.driven))
		report(LOG_ERR, "cannot switch the heater %s: %s", on ? "ON" : "OFF", why);
	d.driven = on;
	d.next_drive_s = ok && !heater_resends(d.heater) ? never : now + d.cfg.period_s;
	if (ok && d.drive_why)
		report(LOG_NOTICE, "the heater takes commands again");
	d.drive_why = ok ? nullptr : why;
}

const char *command_text(rules::Command c)
{
	switch (c) {
	case rules::Command::on: return "ON";
	case rules::Command::off: return "OFF";
	case rules::Command::unknown: return "unknown";
	case rules::Command::none: break;
	}
	return "-";
}

// A state line on standard output for each change, and the same on the bus.
void show(Daemon &d, const rules::Decision &dec)
{
	rules::Rule r = rules::shown(dec.active);
	char line[sizeof d.shown], temp[32] = "-";
	if (d.st.have_temp)
		std::snprintf(temp, sizeof temp, "%.2f", static_cast<double>(d.st.temp));
	std::snprintf(line, sizeof line, "temp=%s command=%s heater=%s rule=%s", temp,
	              command_text(d.st.command), dec.heater ? "ON" : "OFF",
	              r == rules::rule_count ? "-" : rules::name(r));
	if (std::strcmp(line, d.shown) == 0)
		return;
	std::memcpy(d.shown, line, sizeof line);
	char when[32];
	time_t wall = time(nullptr);
	tm local;
	std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", localtime_r(&wall, &local));
	std::printf("%s %s\n", when, line);
	sd_notifyf(0, "STATUS=%s", line);
	if (!d.bus)
		return;
	BusState bs{d.st.have_temp, d.st.temp, d.st.command == rules::Command::on ? "ON"
	            : d.st.command == rules::Command::off ? "OFF" : "",
	            dec.heater, r == rules::rule_count ? "" : rules::name(r)};
	bus_state(*d.bus, bs);
}

// Waits for a signal, a post or the time until; returns the signal, or 0.
int wait_event(const Daemon &d, double until)
{
	int timeout_ms = -1;
	if (until != never)
		timeout_ms = static_cast<int>(std::ceil(std::fmax(0, until - clock_s()) * 1000));
	pollfd fds[2] = {{d.signals, POLLIN, 0}, {d.mb.fd(), POLLIN, 0}};
	if (poll(fds, 2, timeout_ms) <= 0 || !(fds[0].revents & POLLIN))
		return 0;
	signalfd_siginfo si;
	if (read(d.signals, &si, sizeof si) != static_cast<ssize_t>(sizeof si))
		return 0;
	return static_cast<int>(si.ssi_signo);
}

// The end, by a signal or --duration: heater OFF, then out, with status 1
// when the heater did not take the OFF.
[[noreturn]] void stop(Daemon &d, const char *why)
{
	sd_notify(0, "STOPPING=1");
	const char *fail = nullptr;
	bool off = drive_heater(d.heater, false, clock_s(), &fail);
	if (!off)
		report(LOG_ERR, "cannot switch the heater OFF: %s", fail);
	show(d, rules::Decision{false, d.st.active, 0, 0, never});
	if (d.bus)
		bus_close(d.bus);
	report(LOG_INFO, "%s", why);
	// The other threads may be deep in a library wait: nothing waits for
	// them, and they own nothing that exit() tears down.
	std::exit(off ? 0 : 1);
}

[[noreturn]] void supervise(Daemon &d)
{
	for (;;) {
		double now = clock_s();
		take_inbox(d, now);
		rules::Decision dec = rules::decide(d.st, d.settings, now);
		report_rules(d, dec);
		drive(d, dec.heater, now);
		show(d, dec);
		ping(d, now);
		if (now >= d.end_s)
			stop(d, "the set duration is over; exiting.");
		double until = std::fmin(std::fmin(dec.next_s, d.next_drive_s), std::fmin(d.next_ping_s, d.end_s));
		int sig = wait_event(d, until);
		if (sig == SIGTERM)
			stop(d, ombrix_error_to_msg(OMBRIX_ERR_TERM_SIGNAL));
		if (sig == SIGINT)
			stop(d, ombrix_error_to_msg(OMBRIX_ERR_KILL_SIGNAL));
		if (sig == SIGHUP) {
			rules::clear_latches(d.st);
			report(LOG_NOTICE, "SIGHUP: latched rules cleared");
		}
	}
}

// The heater of a crashing daemon: switched OFF where that can be done
// from a signal handler, then the default action (a core, the end).
const Heater *crash_heater;

void on_crash(int sig)
{
	if (crash_heater)
		heater_off_in_signal(*crash_heater);
	raise(sig);
}

void catch_crashes(const Heater &h)
{
	crash_heater = &h;
	struct sigaction sa {};
	sa.sa_handler = on_crash;
	sa.sa_flags = static_cast<int>(SA_RESETHAND);
	for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
		sigaction(sig, &sa, nullptr);
}

// SIGTERM, SIGINT and SIGHUP are blocked in every thread and taken by the
// supervisor through a signalfd.  Returns it, or -1.
int take_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : {SIGTERM, SIGINT, SIGHUP})
		sigaddset(&set, sig);
	if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
		return -1;
	std::signal(SIGPIPE, SIG_IGN);
	return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Into the background the classic way: fork, the parent leaves, the child
// makes a session of its own and lets go of the terminal.
int daemonize()
{
	pid_t pid = fork();
	if (pid < 0)
		return OMBRIX_ERR_FORK;
	if (pid > 0)
		std::_Exit(0);
	if (setsid() < 0)
		return OMBRIX_ERR_SETSID;
	int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (null >= 0) {
		dup2(null, 0);
		dup2(null, 1);
		dup2(null, 2);
		close(null);
	}
	return chdir("/") < 0 ? OMBRIX_ERR_UNEXPECTED : OMBRIX_OK;
}

bool needs_bus(const Config &cfg)
{
	return !cfg.mqtt_host.empty() && (!cfg.switch_off || cfg.heater == HeaterKind::mqtt);
}

int switch_off(Heater &h, Bus *bus)
{
	const char *why = "the broker did not acknowledge it";
	bool ok = h.kind == HeaterKind::mqtt ? bus && bus_switch_off(*bus, bus_switch_off_s)
	                                     : drive_heater(h, false, clock_s(), &why);
	if (bus)
		bus_close(bus);
	if (!ok) {
		std::fprintf(stderr, "ombrixd: cannot switch the heater OFF: %s\n", why);
		return 1;
	}
	return 0;
}

int fatal(int code)
{
	std::fprintf(stderr, "ombrixd: %s\n", ombrix_error_to_msg(code));
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	Config cfg;
	if (!parse_config(argc, argv, cfg))
		return exit_usage;
	openlog("ombrixd", LOG_PID, LOG_DAEMON);
	if (cfg.daemonize && !cfg.switch_off) {
		int rc = daemonize();
		if (rc != OMBRIX_OK)
			return fatal(rc);
	}
	int signals = take_signals();
	if (signals < 0)
		return fatal(OMBRIX_ERR_UNEXPECTED);

	Mailbox mb;
	Room room(clock_s());
	Bus *bus = nullptr;
	if (needs_bus(cfg) && !(bus = bus_open(cfg, mb)))
		return 1;
	Heater heater;
	if (!open_heater(cfg, &room, bus, heater))
		return 1;
	if (cfg.switch_off)
		return switch_off(heater, bus);
	Sensor sensor;
	if (!open_sensor(cfg, &room, sensor))
		return 1;
	catch_crashes(heater);
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	Exchange exchange;
	Daemon d{cfg, settings_of(cfg), rules::start(clock_s()), heater, bus, mb, exchange, signals,
	         cfg.duration_s > 0 ? clock_s() + cfg.duration_s : never};
	const char *why = nullptr;
	if (!drive_heater(heater, false, clock_s(), &why)) {
		report(LOG_ERR, "cannot switch the heater OFF: %s", why);
		d.next_drive_s = clock_s() + cfg.period_s;
		d.drive_why = why;
	}
	uint64_t watchdog_us = 0;
	if (sd_watchdog_enabled(0, &watchdog_us) > 0) {
		d.watchdog_s = static_cast<double>(watchdog_us) / 2e6;
		d.next_ping_s = clock_s();
	}
	if (cfg.sensor != SensorKind::mqtt)
		std::thread(sense, std::cref(sensor), std::ref(mb), cfg.period_s).detach();
	std::thread([&] { exchange.run(cfg, mb); }).detach();
	report(LOG_INFO, "started: heater OFF until a good reading and a command");
	sd_notify(0, "READY=1");
	supervise(d);
}
