// The supervisor loop and what it takes from the other threads.
#include "supervisor.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

#include "bus/bus.h"
#include "clock.h"
#include "driver.h"
#include "heaters/heater.h"
#include "law.h"
#include "link.h"
#include "log.h"
#include "mailbox.h"
#include "notify.h"
#include "sensors/sensor.h"
#include "store.h"

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr unsigned mismatch_periods = 3;
constexpr double read_wait_s = 1;        // the library's wait after each read
constexpr double late_read_s = 1;        // a read held up by a slow disk or log
constexpr unsigned silent_cycles = 2;    // a live controller answers within one
constexpr int longest_wait_ms = 60000;   // a poll's timeout, well inside an int
// SIGHUP clears the latches and SIGUSR1 (systemctl reload) reads the
// settings kept in the state folder again: a new target must never clear a
// latched rule on the way.
constexpr int unlatch_signal = SIGHUP;
constexpr int reload_signal = SIGUSR1;

const char *driven_name(Driven h)
{
	return h == Driven::on ? "ON" : h == Driven::off ? "OFF" : "failed";
}

void report_rules(const Daemon &d, const rules::Decision &dec)
{
	rules::Facts facts{d.settings, d.st, d.cfg.zone.c_str(), d.command_why};
	for (unsigned r = 0; r < rules::rule_count; r++) {
		auto rule = static_cast<rules::Rule>(r);
		if (dec.tripped & 1u << r) {
			char words[200];
			rules::trip_words(rule, facts, words, sizeof words);
			report_kept(rules::trip_level(rule), "rule %s tripped: %s", rules::name(rule), words);
		}
		if (dec.cleared & 1u << r)
			report_kept(LOG_NOTICE, "rule %s cleared", rules::name(rule));
	}
}

void take_reading(Daemon &d, const Inbox &in, double now)
{
	float t = std::isnan(in.reading) ? in.reading
	                                 : static_cast<float>(convert(in.reading, sensor_unit(d.cfg), d.cfg.unit));
	if (rules::reading(d.st, d.settings, now, t)) {
		d.publisher.offer(to_controller(d.setting.sp, t));
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
		d.heater = in.switched_on ? Driven::on : Driven::off;
		return;
	}
	if (in.switch_why != d.drive_why || in.switched_on != d.drive_failed_on)
		report(LOG_ERR, "cannot switch the heater %s: %s", in.switched_on ? "ON" : "OFF", in.switch_why);
	d.drive_why = in.switch_why;
	d.drive_failed_on = in.switched_on;
	d.heater = Driven::failed;
	if (in.switched_on == d.wanted)
		d.next_drive_s = std::fmin(d.next_drive_s, now + d.cfg.period_s);
}

// A new setting takes effect: the controller is told the last good reading
// on the new band at once, rather than a period later, and the high limit
// follows the band unless --high-limit was given.
void apply(Daemon &d, const Setpoint &was)
{
	const Setpoint &sp = d.setting.sp;
	double limit = d.settings.high_limit;
	d.settings.high_limit = high_limit(d.cfg, sp);
	rules::limit_moved(d.st, d.settings, limit);
	rules::set_mode(d.st, sp.mode == Mode::off);
	bool moved = sp.target != was.target || sp.band != was.band;
	if (moved && d.st.have_temp && !(d.st.active & 1u << rules::sensor_lost))
		d.publisher.offer(to_controller(sp, d.st.temp));
}

// What the keeper read again on a reload.  A bad file changes nothing; no
// file gives the zone's options back, and a file that lacks what the hub
// set and could not be kept goes back to what it holds, with a line.
void take_loaded(Daemon &d, const Inbox &in)
{
	if (in.loaded == Load::bad) {
		report(LOG_WARNING, "%s/%s %s; the settings stay as they were", d.cfg.state_dir.c_str(), stored_name,
		       in.loaded_why);
		return;
	}
	if (d.setting.unkept)
		report(LOG_WARNING, "reload: what the hub set could not be kept in %s and is given up",
		       d.cfg.state_dir.c_str());
	Setpoint was = d.setting.sp;
	d.setting = settle(d.cfg, in.stored);
	apply(d, was);
	describe(d.cfg, d.setting, "reloaded: ");
}

// A target or mode from the hub: refused with one line, or applied and kept.
void take_set(Daemon &d, const Inbox &in)
{
	Setpoint was = d.setting.sp;
	Stored taken;
	if (!set_from_hub(d.cfg, d.setting, in.has_set_target ? &in.set_target : nullptr,
	                  in.has_set_mode ? &in.set_mode : nullptr, &taken))
		return;
	apply(d, was);
	d.keeper.save(taken);
	describe(d.cfg, d.setting, "set from the hub: ");
}

void show_on_bus(const Daemon &d, rules::Rule r);

// What the keeper kept: the retained target and mode follow it.
void take_kept(Daemon &d, const Inbox &in)
{
	if (kept_from_hub(d.setting, in.kept, in.kept_ok) && d.bus)
		show_on_bus(d, rules::shown(d.st.active));
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
		d.next_drive_s = now;  // a plug gets its OFF through the driver as the zone goes
	}
	if (in.has_kept)
		take_kept(d, in);  // before a load, which read the file after the save
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

// The zone's state on the bus, as the state line says it, but for the
// target and mode: those the hub sees are the ones kept, so that what it
// shows outlives a crash.
void show_on_bus(const Daemon &d, rules::Rule r)
{
	const Setpoint &sp = d.setting.sp;
	const Setpoint &kept = d.setting.shown;
	const char *action = sp.mode == Mode::off ? "off" : d.heater == Driven::on ? "heating" : "idle";
	const char *command = d.st.command == rules::Command::on ? "ON" : d.st.command == rules::Command::off ? "OFF" : "";
	BusState bs{d.st.have_temp, d.st.temp, command, driven_name(d.heater),
	            r == rules::rule_count ? "" : rules::name(r), kept.target, mode_name(kept.mode), action};
	bus_state(*d.bus, bs);
}

// A state line for each change, and the same on the bus.
void show(Daemon &d, const rules::Decision &dec)
{
	rules::Rule r = rules::shown(dec.active);
	char line[sizeof d.shown], temp[32] = "-";
	if (d.st.have_temp)
		std::snprintf(temp, sizeof temp, "%.2f", static_cast<double>(d.st.temp));
	std::snprintf(line, sizeof line, "mode=%s target=%.1f temp=%s command=%s heater=%s rule=%s",
	              mode_name(d.setting.sp.mode), d.setting.sp.target, temp, command_text(d.st.command),
	              driven_name(d.heater), r == rules::rule_count ? "-" : rules::name(r));
	if (std::strcmp(line, d.shown) == 0)
		return;
	std::memcpy(d.shown, line, sizeof line);
	show_line(line);
	if (d.bus)
		show_on_bus(d, r);
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

// systemctl reload: the keeper reads the state folder again and posts
// what it found; the rules run on meanwhile.
void reload(Daemon &d)
{
	if (d.cfg.state_dir.empty())
		report(LOG_NOTICE, "reload: no state folder to read");
	else
		d.keeper.load();
}

} // namespace

rules::Settings settings_of(const Config &cfg)
{
	rules::Settings s;
	s.sensor_timeout_s = cfg.sensor_timeout_s;
	// The reader posts a command every period, or every read's wait when
	// that is longer; one read may be missed and another be late by a
	// second.  Longer, the reader is stuck (a full syslog blocks the
	// library's read) or the library is in its two minutes of retries.
	// Never longer than a reading would stay good.
	double cycle_s = std::fmax(cfg.period_s, read_wait_s);
	s.command_timeout_s = std::fmin(2 * cycle_s + read_wait_s + late_read_s, cfg.sensor_timeout_s + read_wait_s);
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
	s.min_off_s = cfg.min_off_s;
	return s;
}

void started_off(Daemon &d, bool ok, const char *why, double now)
{
	d.next_drive_s = never;
	if (ok)
		return;
	d.heater = Driven::failed;
	d.drive_why = why;
	d.next_drive_s = now + d.cfg.period_s;
	report(LOG_ERR, "cannot switch the heater OFF: %s", why);
}

void start_setting(Daemon &d)
{
	Setpoint was = d.setting.sp;
	d.setting = settle(d.cfg, load_kept(d.cfg));
	apply(d, was);
	describe(d.cfg, d.setting, "");
}

int supervise(Daemon &d)
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
			return 0;
		int sig = wait_event(d, wake_by(d, dec));
		if (sig == unlatch_signal) {
			rules::clear_latches(d.st);
			report_kept(LOG_NOTICE, "SIGHUP: latched rules cleared");
		} else if (sig == reload_signal) {
			reload(d);
		} else if (sig != 0) {
			return sig;
		}
	}
}

bool finish(Daemon &d)
{
	notify("STOPPING=1");
	const char *why = nullptr;
	bool off = d.driver.stop(last_off_wait_s, &why);
	if (!off)
		report(LOG_ERR, "cannot switch the heater OFF: %s", why);
	d.heater = off ? Driven::off : Driven::failed;
	show(d, rules::Decision{false, d.st.active, 0, 0, never});
	// What the hub set and the keeper holds for its next mark, once the
	// heater is OFF: a stop loses no setting the daemon took.
	d.keeper.flush(Keeper::stop_wait);
	if (d.bus)
		bus_close(d.bus);
	return off;
}
