// ombrixd: the temperature daemon.  It reads a sensor, publishes good
// readings to the thermostat controller through the ombrix library, reads
// back the controller's command and drives a heater to match, unless one
// of the safety rules holds the heater OFF.  This file is the process's
// life: the verb it runs, signals, a crash, the background, the end.
//
// Threads: the supervisor (main, supervisor.h) owns the rules and alone
// decides; it waits for nothing but its poll.  The sensor thread reads
// every period; the publisher and the reader call the library, whose waits
// block them for up to 63 and 126 s; the driver switches the heater; the
// log thread writes reports and state lines; the keeper saves and loads the
// settings made at run time; the bus has a thread of its own.  They all
// post to the supervisor's mailbox.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "bus/bus.h"
#include "clock.h"
#include "config.h"
#include "driver.h"
#include "heaters/heater.h"
#include "link.h"
#include "log.h"
#include "mailbox.h"
#include "notify.h"
#include "ombrix.h"
#include "room.h"
#include "sensors/sensor.h"
#include "store.h"
#include "supervisor.h"
#include "verbs.h"

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr double flush_s = 1;            // for the last reports to go out
constexpr size_t thread_stack_bytes = size_t{256} * 1024;

// The signals that end a process by default and can be caught, and those
// the supervisor takes for its own (SIGHUP, SIGUSR1): all through a
// signalfd.
constexpr int caught_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                                  SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT};
// Those a fault raises in the thread that made it: a handler takes them.
constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

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
int block_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : caught_signals)
		sigaddset(&set, sig);
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
// *tell is where the child says the start went well (let_go()).
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
void let_go(int tell)
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

// The daemon proper: start-up, fatal on any failure; then the supervisor,
// and the end.  The other threads may be deep in a library wait or a
// write: nothing waits for them, and they own nothing that exit() tears
// down.
[[noreturn]] void run(const Config &cfg, int signals, int tell)
{
	Mailbox mb;
	Room room(clock_s());
	Bus *bus = nullptr;
	if (!cfg.mqtt_host.empty() && !(bus = bus_open(cfg, mb)))
		std::exit(1);
	Heater heater;
	Sensor sensor;
	if (!open_heater(cfg, &room, bus, heater) || !open_sensor(cfg, &room, sensor))
		std::exit(1);
	catch_crashes(heater);
	notify_open();
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	Driver driver(heater, mb);
	const char *why = nullptr;
	bool off = driver.first_off(&why);

	Publisher publisher(cfg, mb);
	Keeper keeper(cfg, mb);
	Daemon d{cfg, settings_of(cfg), rules::start(clock_s()), driver, publisher, keeper, settle(cfg, {}),
	         bus, mb, signals, cfg.duration_s > 0 ? clock_s() + cfg.duration_s : never, heater_resends(heater),
	         false, never};
	d.watchdog_s = watchdog_interval_s();
	if (!sensor_on_bus(cfg))
		start_sensing(sensor, mb, cfg.period_s);
	start_reading(cfg, mb);
	if (tell >= 0)
		let_go(tell);
	log_start();
	started_off(d, off, why, clock_s());
	report(LOG_INFO, "started: heater OFF until a good reading and a command");
	start_setting(d);
	notify("READY=1");
	int sig = supervise(d);
	off = finish(d);
	say_goodbye(sig);
	end_as(sig, off, log_flush(flush_s));
}

} // namespace

int main(int argc, char **argv)
{
	keep_small();
	Config cfg;
	ParseResult parsed = parse_config(argc, argv, cfg);
	std::fputs(parsed.errors.c_str(), stderr);
	if (parsed.help) {
		std::fputs(usage().c_str(), stdout);
		return 0;
	}
	if (!parsed.ok && !(cfg.switch_off && parsed.heater_ok))
		return exit_usage;
	openlog("ombrixd", LOG_PID, LOG_DAEMON);
	KeepRequest keep;
	if (keep_request(cfg, &keep))
		return keep_setting(keep);
	// The broker's password only for a run that talks to the broker.
	bool broker = cfg.switch_off ? heater_on_bus(cfg) : !cfg.mqtt_host.empty();
	std::string password_why = broker ? read_password(cfg) : "";
	if (!password_why.empty()) {
		std::fputs(password_why.c_str(), stderr);
		return exit_usage;
	}
	if (cfg.switch_off) {
		int rc = switch_off(heater_options(cfg));
		return rc != 0 ? rc : parsed.ok ? 0 : exit_usage;
	}
	int tell = -1;
	if (cfg.daemonize) {
		int rc = go_background(&tell);
		if (rc != OMBRIX_OK)
			return fatal(rc);
	}
	int signals = block_signals();
	if (signals < 0)
		return fatal(OMBRIX_ERR_UNEXPECTED);
	run(cfg, signals, tell);
}
