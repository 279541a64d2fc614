// ombrixd: the temperature daemon.  It reads a sensor, publishes good
// readings to the thermostat controller through the ombrix library, reads
// back the controller's command and drives a heater to match, unless one
// of the safety rules holds the heater OFF.
//
// Threads: the supervisor (main) owns the rules and alone decides; it waits
// for nothing but its poll.  The sensor thread reads every period; the
// publisher and the reader call the library, whose waits block them for up
// to 63 and 126 s; the driver switches the heater; the log thread writes
// reports and state lines; the keeper saves and loads the settings made at
// run time; the bus has a thread of its own.  They all post to the
// supervisor's mailbox, so no rule ever waits for the library, the heater,
// a log reader, the disk or the network.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "bus/bus.h"
#include "clock.h"
#include "config.h"
#include "driver.h"
#include "heater.h"
#include "law.h"
#include "link.h"
#include "log.h"
#include "mailbox.h"
#include "notify.h"
#include "ombrix.h"
#include "room.h"
#include "rules.h"
#include "sensor.h"
#include "setpoint.h"
#include "store.h"

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr double bus_switch_off_s = 5;   // for the broker to acknowledge OFF
constexpr unsigned mismatch_periods = 3;
constexpr double read_wait_s = 1;        // the library's wait after each read
constexpr unsigned silent_cycles = 2;    // a live controller answers within one
constexpr double stop_switch_s = exec_heater_timeout_s + 1;  // for the last OFF
constexpr double flush_s = 1;            // for the last reports to go out
constexpr int longest_wait_ms = 60000;   // a poll's timeout, well inside an int
constexpr size_t thread_stack_bytes = size_t{256} * 1024;

// The signals that end a process by default and can be caught; the
// supervisor takes them through a signalfd.  SIGHUP clears the latches and
// SIGUSR1 (systemctl reload) reads the settings kept in the state folder
// again: a new target must never clear a latched rule on the way.
constexpr int ending_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM,
                                  SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT};
constexpr int reload_signal = SIGUSR1;
// Those a fault raises in the thread that made it: a handler takes them.
constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// Everything the supervisor keeps.
struct Daemon {
	const Config &cfg;
	rules::Settings settings;
	rules::State st;
	Driver &driver;
	Publisher &publisher;
	Keeper &keeper;
	Setpoint sp;                        // as it applies now
	Stored kept;                        // what of it was set at run time
	Bus *bus;
	Mailbox &mb;
	int signals;                        // signalfd
	double end_s;                       // --duration, or never
	bool resends;                       // the heater gets its command every period
	bool wanted = false;                // what the driver was last asked
	double next_drive_s = never;        // when to ask it again
	const char *heater = "OFF";         // as it really is: "ON", "OFF" or "failed"
	const char *drive_why = nullptr;    // the last failed switch's reason, logged once
	bool drive_failed_on = false;
	const char *bad_why = nullptr;      // the last bad reading's reason, logged once
	const char *command_why = nullptr;  // why the command is unknown
	char shown[128] = "";               // the last state line, without its time
	double watchdog_s = 0;              // the service manager's interval; 0: none
	double last_ping_s = 0;
};

rules::Settings settings_of(const Config &cfg)
{
	rules::Settings s;
	s.sensor_timeout_s = cfg.sensor_timeout_s;
	s.command_timeout_s = cfg.sensor_timeout_s + read_wait_s;
	s.publish_timeout_s = cfg.sensor_timeout_s;
	// The controller reads within a cycle of a publish and writes at once;
	// the reader sees that within a period and the library's wait.
	s.silent_s = silent_cycles * law::period_s + cfg.period_s + read_wait_s;
	s.high_limit = high_limit(cfg, configured(cfg));
	s.min = cfg.min;
	s.max = cfg.max;
	s.heat_check_s = cfg.heat_check_s;
	s.heat_gain = cfg.heat_gain;
	s.max_on_s = cfg.max_on_s;
	s.lost_duty_pct = cfg.lost_duty_pct;
	s.mismatch_s = cfg.heater_state.empty() ? 0 : mismatch_periods * cfg.period_s;
	return s;
}

void report_unknown(const Daemon &d, const char *name)
{
	if (d.st.command == rules::Command::unknown && d.command_why)
		report(LOG_WARNING, "rule %s tripped: %s; heater OFF", name, d.command_why);
	else
		report(LOG_WARNING, "rule %s tripped: no command read for %g s; heater OFF", name,
		       d.settings.command_timeout_s);
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
		report_unknown(d, name);
		break;
	case rules::heater_mismatch:
		report(LOG_WARNING, "rule %s tripped: the heater has not followed the command for %g s",
		       name, s.mismatch_s);
		break;
	case rules::controller_silent:
		report(LOG_CRIT, "rule %s tripped: the command is still ON %g s after the controller was told "
		       "%.2f; heater OFF until it follows", name, s.silent_s, static_cast<double>(d.st.published));
		break;
	case rules::publish_failed:
		report(LOG_CRIT, "rule %s tripped: no temperature published for %g s; heater OFF", name,
		       s.publish_timeout_s);
		break;
	case rules::high_limit:
		report(LOG_CRIT, "rule %s tripped: %.2f is above %g; heater OFF", name,
		       static_cast<double>(d.st.temp), s.high_limit);
		break;
	case rules::duplicate_zone:
		report(LOG_CRIT, "rule %s tripped: another ombrixd holds zone %s; heater OFF while it does", name,
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
		d.publisher.offer(to_controller(d.sp, t));
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

// How a switch went: the heater is what it took; a failure is said once a
// reason and tried again a period later.
void take_switch(Daemon &d, const Inbox &in, double now)
{
	if (in.switched_ok) {
		if (d.drive_why)
			report(LOG_NOTICE, "the heater takes commands again");
		d.drive_why = nullptr;
		d.heater = in.switched_on ? "ON" : "OFF";
		return;
	}
	if (in.switch_why != d.drive_why || in.switched_on != d.drive_failed_on)
		report(LOG_ERR, "cannot switch the heater %s: %s", in.switched_on ? "ON" : "OFF", in.switch_why);
	d.drive_why = in.switch_why;
	d.drive_failed_on = in.switched_on;
	d.heater = "failed";
	if (in.switched_on == d.wanted)
		d.next_drive_s = std::fmin(d.next_drive_s, now + d.cfg.period_s);
}

// Which setting applies and where it came from, so that a person who
// edited the zone's file and sees another target knows why.
void describe(const Daemon &d, const char *before)
{
	char target[128], mode[96];
	const char *u = unit_sign(d.cfg.unit);
	if (d.kept.has_target)
		std::snprintf(target, sizeof target, "target %.1f %s, set at run time; the zone's options say %.1f",
		              d.sp.target, u, d.cfg.target);
	else
		std::snprintf(target, sizeof target, "target %.1f %s, from the zone's options", d.sp.target, u);
	if (d.kept.has_mode)
		std::snprintf(mode, sizeof mode, "mode %s, set at run time; the zone's options say %s",
		              mode_name(d.sp.mode), mode_name(d.cfg.mode));
	else
		std::snprintf(mode, sizeof mode, "mode %s", mode_name(d.sp.mode));
	report(LOG_INFO, "%s%s; band %.1f; %s", before, target, d.sp.band, mode);
}

// The setting takes effect: the controller is told the last good reading
// on the new band at once, rather than a period later, and the high limit
// follows the band unless --high-limit was given.
void apply(Daemon &d, const Setpoint &sp)
{
	bool moved = sp.target != d.sp.target || sp.band != d.sp.band;
	double limit = d.settings.high_limit;
	d.sp = sp;
	d.settings.high_limit = high_limit(d.cfg, sp);
	rules::limit_moved(d.st, d.settings, limit);
	rules::set_mode(d.st, sp.mode == Mode::off);
	if (moved && d.st.have_temp && !(d.st.active & 1u << rules::sensor_lost))
		d.publisher.offer(to_controller(sp, d.st.temp));
}

// The zone's options, and over them what was kept of the run-time
// settings; a kept target the options no longer allow is dropped.
void settle_kept(Daemon &d, Stored kept)
{
	Setpoint sp = configured(d.cfg);
	if (kept.has_target) {
		if (const char *why = refuse_target(d.cfg, kept.target, sp.band)) {
			report(LOG_WARNING, "the kept target %.1f is refused: %s", kept.target, why);
			kept.has_target = false;
		}
	}
	if (kept.has_target)
		sp.target = kept.target;
	if (kept.has_mode)
		sp.mode = kept.mode;
	d.kept = kept;
	apply(d, sp);
}

// What the keeper read again on a reload.  A bad file changes nothing; no
// file gives the zone's options back.
void take_loaded(Daemon &d, const Inbox &in)
{
	if (in.loaded == Load::bad) {
		report(LOG_WARNING, "%s/%s %s; the settings stay as they were", d.cfg.state_dir.c_str(), stored_name,
		       in.loaded_why);
		return;
	}
	settle_kept(d, in.stored);
	describe(d, "reloaded: ");
}

// A target or mode from the hub: refused with one line, or applied and kept.
void take_set(Daemon &d, const Inbox &in)
{
	Setpoint sp = d.sp;
	if (in.has_set_target) {
		if (const char *why = refuse_target(d.cfg, in.set_target, sp.band)) {
			report(LOG_WARNING, "target %g from the hub refused: %s", in.set_target, why);
		} else {
			sp.target = in.set_target;
			d.kept.has_target = true;
			d.kept.target = in.set_target;
		}
	}
	if (in.has_set_mode) {
		sp.mode = in.set_mode;
		d.kept.has_mode = true;
		d.kept.mode = in.set_mode;
	}
	if (sp.target == d.sp.target && sp.mode == d.sp.mode)
		return;
	apply(d, sp);
	d.keeper.save(d.kept);
	describe(d, "set from the hub: ");
}

void take_inbox(Daemon &d, double now)
{
	Inbox in = d.mb.take();
	if (in.has_reading)
		take_reading(d, in, now);
	if (in.has_published)
		rules::published(d.st, in.published_s, in.published);
	if (in.has_command) {
		rules::command(d.st, now, in.command);
		d.command_why = in.command_why;
	}
	if (in.has_switched)
		take_switch(d, in, now);
	if (in.has_report)
		rules::heater_report(d.st, in.report);
	if (in.connected)
		d.next_drive_s = now;  // the plug gets the command at once
	if (in.has_duplicate) {
		rules::duplicate(d.st, in.duplicate);
		d.next_drive_s = now;  // a plug's OFF, as the zone goes to another, goes out through the driver
	}
	if (in.has_loaded)
		take_loaded(d, in);
	if (in.has_set_target || in.has_set_mode)
		take_set(d, in);
}

// Asks the driver for what the rules decided: at once on a change, again
// a period after a failed switch, and every period for a heater that
// forgets.
void drive(Daemon &d, bool on, double now)
{
	if (on == d.wanted && now < d.next_drive_s)
		return;
	d.driver.want(on);
	d.wanted = on;
	d.next_drive_s = d.resends ? now + d.cfg.period_s : never;
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

// A state line for each change, and the same on the bus.
void show(Daemon &d, const rules::Decision &dec)
{
	rules::Rule r = rules::shown(dec.active);
	char line[sizeof d.shown], temp[32] = "-";
	if (d.st.have_temp)
		std::snprintf(temp, sizeof temp, "%.2f", static_cast<double>(d.st.temp));
	std::snprintf(line, sizeof line, "mode=%s target=%.1f temp=%s command=%s heater=%s rule=%s",
	              mode_name(d.sp.mode), d.sp.target, temp, command_text(d.st.command), d.heater,
	              r == rules::rule_count ? "-" : rules::name(r));
	if (std::strcmp(line, d.shown) == 0)
		return;
	std::memcpy(d.shown, line, sizeof line);
	show_line(line);
	if (!d.bus)
		return;
	const char *action = d.sp.mode == Mode::off ? "off" : std::strcmp(d.heater, "ON") == 0 ? "heating" : "idle";
	BusState bs{d.st.have_temp, d.st.temp, d.st.command == rules::Command::on ? "ON"
	            : d.st.command == rules::Command::off ? "OFF" : "",
	            d.heater, r == rules::rule_count ? "" : rules::name(r), d.sp.target, mode_name(d.sp.mode), action};
	bus_state(*d.bus, bs);
}

// The watchdog hears from us on a wakeup we have anyway once half its
// interval has passed; wake_by() makes sure one comes by three quarters.
void ping(Daemon &d, double now)
{
	if (d.watchdog_s > 0 && now >= d.last_ping_s + d.watchdog_s / 2) {
		notify("WATCHDOG=1");
		d.last_ping_s = now;
	}
}

double wake_by(const Daemon &d, const rules::Decision &dec)
{
	double until = std::fmin(std::fmin(dec.next_s, d.next_drive_s), d.end_s);
	if (d.watchdog_s > 0)
		until = std::fmin(until, d.last_ping_s + d.watchdog_s * 3 / 4);
	return until;
}

// Waits for a signal, a post or the time until; returns the signal, or 0.
int wait_event(const Daemon &d, double until)
{
	int timeout_ms = longest_wait_ms;
	if (until - clock_s() < longest_wait_ms / 1000.0)
		timeout_ms = static_cast<int>(std::ceil(std::fmax(0, until - clock_s()) * 1000));
	pollfd fds[2] = {{d.signals, POLLIN, 0}, {d.mb.fd(), POLLIN, 0}};
	if (poll(fds, 2, timeout_ms) <= 0 || !(fds[0].revents & POLLIN))
		return 0;
	signalfd_siginfo si;
	if (read(d.signals, &si, sizeof si) != static_cast<ssize_t>(sizeof si))
		return 0;
	return static_cast<int>(si.ssi_signo);
}

void say_goodbye(int sig)
{
	if (sig == 0)
		report(LOG_INFO, "the set duration is over; exiting.");
	else if (sig == SIGTERM)
		report(LOG_INFO, "%s", ombrix_error_to_msg(OMBRIX_ERR_TERM_SIGNAL));
	else if (sig == SIGINT)
		report(LOG_INFO, "%s", ombrix_error_to_msg(OMBRIX_ERR_KILL_SIGNAL));
	else if (const char *name = sigabbrev_np(sig))
		report(LOG_INFO, "Received SIG%s; exiting.", name);
	else
		report(LOG_INFO, "Received signal %d; exiting.", sig);
}

// Ends the process as sig would have, now that the heater is OFF: TERM and
// INT (and the end of --duration) exit with 0, or 1 when the heater did
// not take the OFF; any other signal ends it with its own default action.
// Output that could not be written out is left behind: exit() would wait
// to flush it into a pipe nobody reads.
[[noreturn]] void end_as(int sig, bool off, bool flushed)
{
	if (sig != 0 && sig != SIGTERM && sig != SIGINT) {
		std::signal(sig, SIG_DFL);
		sigset_t set;
		sigemptyset(&set);
		sigaddset(&set, sig);
		pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
		raise(sig);
	}
	if (!flushed)
		_exit(off ? 0 : 1);
	std::exit(off ? 0 : 1);
}

// The end, by a signal or --duration: heater OFF, then out.
[[noreturn]] void stop(Daemon &d, int sig)
{
	notify("STOPPING=1");
	const char *why = nullptr;
	bool off = d.driver.stop(stop_switch_s, &why);
	// A plug's OFF was only queued: the broker must have taken it before
	// this daemon lets go of the plug.
	if (off && d.bus && d.cfg.heater == HeaterKind::mqtt && !bus_switch_off(*d.bus, bus_switch_off_s)) {
		off = false;
		why = "the broker did not acknowledge it";
	}
	if (!off)
		report(LOG_ERR, "cannot switch the heater OFF: %s", why);
	d.heater = off ? "OFF" : "failed";
	show(d, rules::Decision{false, d.st.active, 0, 0, never});
	if (d.bus)
		bus_close(d.bus);
	say_goodbye(sig);
	bool flushed = log_flush(flush_s);
	// The other threads may be deep in a library wait or a write: nothing
	// waits for them, and they own nothing that exit() tears down.
	end_as(sig, off, flushed);
}

// systemctl reload: the keeper reads the state folder again and posts
// what it found; the rules run on meanwhile.
void reload(Daemon &d)
{
	if (d.cfg.state_dir.empty())
		report(LOG_NOTICE, "reload: no state folder to read");
	else
		d.keeper.load();
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
			stop(d, 0);
		int sig = wait_event(d, wake_by(d, dec));
		if (sig == SIGHUP) {
			rules::clear_latches(d.st);
			report(LOG_NOTICE, "SIGHUP: latched rules cleared");
		} else if (sig == reload_signal) {
			reload(d);
		} else if (sig != 0) {
			stop(d, sig);
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
	for (int sig : crash_signals)
		sigaction(sig, &sa, nullptr);
}

// The ending signals are blocked in every thread (those started later
// inherit the mask) and taken by the supervisor.  Returns the signalfd, or
// -1.
int take_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : ending_signals)
		sigaddset(&set, sig);
	sigaddset(&set, reload_signal);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		sigaddset(&set, sig);
	if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
		return -1;
	std::signal(SIGPIPE, SIG_IGN);
	return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The parent of --daemon: waits for the child to say it has started, and
// leaves with 0 then, or with the child's status when it ended first.
[[noreturn]] void wait_for_start(int from, pid_t child)
{
	char byte;
	ssize_t n;
	do
		n = read(from, &byte, 1);
	while (n < 0 && errno == EINTR);
	if (n == 1)
		_exit(0);
	int status = 0;
	if (waitpid(child, &status, 0) == child && WIFEXITED(status))
		_exit(WEXITSTATUS(status));
	_exit(1);
}

// Into the background the classic way: fork, and the child makes a
// session of its own.  The parent stays until the start is over, so that
// a start-up failure still reaches the terminal and the exit status.
// *tell is where the child says the start went well (settle()).
int go_background(int *tell)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		return OMBRIX_ERR_FORK;
	pid_t pid = fork();
	if (pid < 0)
		return OMBRIX_ERR_FORK;
	if (pid > 0) {
		close(fds[1]);
		wait_for_start(fds[0], pid);
	}
	close(fds[0]);
	*tell = fds[1];
	return setsid() < 0 ? OMBRIX_ERR_SETSID : OMBRIX_OK;
}

// The start went well: lets go of the terminal, and lets the parent go.
// The working folder stays, so that relative paths, in the options and in
// exec: commands, keep their meaning for the daemon's whole life.
void settle(int tell)
{
	int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (null >= 0) {
		dup2(null, 0);
		dup2(null, 1);
		dup2(null, 2);
		close(null);
	}
	(void)!write(tell, "", 1);
	close(tell);
}

// The settings kept from an earlier run, read once at the start.
void start_kept(Daemon &d)
{
	Stored kept;
	const char *why = nullptr;
	if (d.cfg.state_dir.empty())
		report(LOG_NOTICE, "no --state-dir nor $STATE_DIRECTORY: a target or mode set now is lost at a restart");
	else if (load_stored(d.cfg.state_dir, d.cfg.unit, &kept, &why) == Load::bad)
		report(LOG_WARNING, "%s/%s %s; the zone's options apply", d.cfg.state_dir.c_str(), stored_name, why);
	settle_kept(d, kept);
	describe(d, "");
}

// --set-target, --set-mode: the setting kept in the state folder, over
// what was kept before, for the running daemon to take on a reload and the
// next one at its start.  Returns the exit status.
int keep_setting(const Config &cfg)
{
	Stored s;
	const char *why = nullptr;
	if (load_stored(cfg.state_dir, cfg.unit, &s, &why) == Load::bad)
		s = Stored{};  // what cannot be read is replaced whole
	if (!std::isnan(cfg.set_target)) {
		s.has_target = true;
		s.target = cfg.set_target;
	}
	if (!cfg.set_mode.empty())
		s.has_mode = parse_mode(cfg.set_mode.c_str(), &s.mode);
	if ((why = save_stored(cfg.state_dir, cfg.unit, s))) {
		std::fprintf(stderr, "ombrixd: cannot keep the setting in %s: %s\n", cfg.state_dir.c_str(), why);
		return 1;
	}
	return 0;
}

bool needs_bus(const Config &cfg)
{
	return !cfg.mqtt_host.empty() && (!cfg.switch_off || cfg.heater == HeaterKind::mqtt);
}

// --switch-off: what ExecStopPost runs, whatever else the zone's options
// got wrong.  Returns the exit status.
int switch_off(const Config &cfg)
{
	Mailbox mb;
	Room room(clock_s());
	Bus *bus = nullptr;
	if (needs_bus(cfg) && !(bus = bus_open(cfg, mb)))
		return 1;
	Heater h;
	if (!open_heater(cfg, &room, bus, h))
		return 1;
	const char *why = "the broker did not acknowledge it";
	bool ok = h.kind == HeaterKind::mqtt ? bus && bus_switch_off(*bus, bus_switch_off_s)
	                                     : drive_heater(h, false, clock_s(), -1, &why);
	if (bus)
		bus_close(bus);
	if (!ok) {
		std::fprintf(stderr, "ombrixd: cannot switch the heater OFF: %s\n", why);
		return 1;
	}
	return 0;
}

// What a zone dirties is what it costs a board: one malloc arena for all
// the threads, which would each dirty one of their own, and stacks small
// enough to lie close together and share their page tables.
void keep_small()
{
	mallopt(M_ARENA_MAX, 1);
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, thread_stack_bytes);
	pthread_setattr_default_np(&attr);
	pthread_attr_destroy(&attr);
}

int fatal(int code)
{
	std::fprintf(stderr, "ombrixd: %s\n", ombrix_error_to_msg(code));
	return 1;
}

// The daemon proper: start-up, fatal on any failure; then the supervisor.
int run(const Config &cfg, int signals, int tell)
{
	Mailbox mb;
	Room room(clock_s());
	Bus *bus = nullptr;
	if (needs_bus(cfg) && !(bus = bus_open(cfg, mb)))
		return 1;
	Heater heater;
	if (!open_heater(cfg, &room, bus, heater))
		return 1;
	Sensor sensor;
	if (!open_sensor(cfg, &room, sensor))
		return 1;
	catch_crashes(heater);
	notify_open();
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	const char *why = nullptr;
	bool off = drive_heater(heater, false, clock_s(), -1, &why);

	Driver driver(heater, mb);
	Publisher publisher(cfg, mb);
	Keeper keeper(cfg, mb);
	Daemon d{cfg, settings_of(cfg), rules::start(clock_s()), driver, publisher, keeper, configured(cfg), {},
	         bus, mb, signals, cfg.duration_s > 0 ? clock_s() + cfg.duration_s : never, heater_resends(heater)};
	d.watchdog_s = watchdog_interval_s();
	if (!off) {
		d.heater = "failed";
		d.drive_why = why;
		d.next_drive_s = clock_s() + cfg.period_s;
	}
	if (cfg.sensor != SensorKind::mqtt)
		start_sensing(sensor, mb, cfg.period_s);
	start_reading(cfg, mb);
	if (tell >= 0)
		settle(tell);
	log_start();
	if (!off)
		report(LOG_ERR, "cannot switch the heater OFF: %s", why);
	report(LOG_INFO, "started: heater OFF until a good reading and a command");
	start_kept(d);
	notify("READY=1");
	supervise(d);
}

} // namespace

int main(int argc, char **argv)
{
	keep_small();
	Config cfg;
	ParseResult parsed = parse_config(argc, argv, cfg);
	if (!parsed.ok && !(cfg.switch_off && parsed.heater_ok))
		return exit_usage;
	openlog("ombrixd", LOG_PID, LOG_DAEMON);
	if (!std::isnan(cfg.set_target) || !cfg.set_mode.empty())
		return keep_setting(cfg);
	if (cfg.switch_off) {
		int rc = switch_off(cfg);
		return rc != 0 ? rc : parsed.ok ? 0 : exit_usage;
	}
	int tell = -1;
	if (cfg.daemonize) {
		int rc = go_background(&tell);
		if (rc != OMBRIX_OK)
			return fatal(rc);
	}
	int signals = take_signals();
	if (signals < 0)
		return fatal(OMBRIX_ERR_UNEXPECTED);
	return run(cfg, signals, tell);
}
