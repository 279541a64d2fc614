// The safety rules.  decide() is the whole policy: it works out which rules
// hold at a given time, and from them whether the heater may be ON.
#include "rules.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace rules {

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr unsigned latched = 1u << runaway | 1u << max_on;

unsigned bit(Rule r)
{
	return 1u << r;
}

bool holds(const State &st, Rule r)
{
	return st.active & bit(r);
}

// Whether the frost-protection duty lets the heater run at now: ON for the
// first lost_duty_pct of each window since the sensor was lost.
bool duty_on(const State &st, const Settings &s, double now, double *next)
{
	double on_s = duty_window_s * s.lost_duty_pct / 100;
	double into = std::fmod(now - st.lost_since_s, duty_window_s);
	double window_start = now - into;
	bool on = into < on_s;
	*next = on ? window_start + on_s : window_start + duty_window_s;
	return on;
}

// The runaway check over the current ON stretch: every heat_check_s the
// temperature must have risen by heat_gain since the last check.
void check_runaway(State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.heat_check_s <= 0 || !st.heater)
		return;
	double due = st.check_since_s + s.heat_check_s;
	if (now < due) {
		*next = std::fmin(*next, due);
		return;
	}
	if (st.temp - st.check_temp < s.heat_gain) {
		*active |= bit(runaway);
		return;
	}
	st.check_since_s = now;
	st.check_temp = st.temp;
	*next = std::fmin(*next, now + s.heat_check_s);
}

void check_max_on(const State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.max_on_s <= 0 || !st.heater)
		return;
	double due = st.on_since_s + s.max_on_s;
	if (now >= due)
		*active |= bit(max_on);
	else
		*next = std::fmin(*next, due);
}

void check_mismatch(State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.mismatch_s <= 0)
		return;
	bool matches = st.reported_known && st.reported == st.heater;
	if (matches) {
		st.mismatched = false;
		return;
	}
	if (holds(st, heater_mismatch)) {
		*active |= bit(heater_mismatch);  // still not following: no new count
		return;
	}
	if (!st.mismatched) {
		st.mismatched = true;
		st.mismatch_since_s = now;
	}
	double due = st.mismatch_since_s + s.mismatch_s;
	if (now >= due)
		*active |= bit(heater_mismatch);
	else
		*next = std::fmin(*next, due);
}

// Starts or ends an ON stretch, which the runaway and max-on rules time.
void switch_heater(State &st, bool on, double now)
{
	if (on && !st.heater) {
		st.on_since_s = now;
		st.check_since_s = now;
		st.check_temp = st.temp;
	}
	if (on != st.heater)
		st.mismatched = false;  // the heater gets time to follow
	st.heater = on;
}

} // namespace

const char *name(Rule r)
{
	switch (r) {
	case sensor_lost:
		return "sensor-lost";
	case runaway:
		return "runaway";
	case max_on:
		return "max-on";
	case state_unknown:
		return "state-unknown";
	case heater_mismatch:
		return "heater-mismatch";
	case duplicate_zone:
		return "duplicate-zone";
	case rule_count:
		break;
	}
	return "none";
}

State start(double now)
{
	State st;
	st.last_good_s = now;
	st.lost_since_s = now;
	return st;
}

bool plausible(const Settings &s, float t)
{
	// In single precision, as the reading is: --max 122.3 lets 122.3 pass.
	return std::isfinite(t) && t >= static_cast<float>(s.min) && t <= static_cast<float>(s.max);
}

bool reading(State &st, const Settings &s, double now, float t)
{
	if (!plausible(s, t))
		return false;
	st.have_temp = true;
	st.temp = t;
	st.last_good_s = now;
	return true;
}

void command(State &st, Command c)
{
	st.command = c;
	st.commanded = st.commanded || c == Command::on || c == Command::off;
}

void heater_report(State &st, bool on)
{
	st.reported_known = true;
	st.reported = on;
}

void duplicate(State &st)
{
	st.duplicate = true;
}

void clear_latches(State &st)
{
	st.unlatch = true;
}

Decision decide(State &st, const Settings &s, double now)
{
	double next = never;
	unsigned before = st.active;
	unsigned active = st.unlatch ? 0 : st.active & latched;
	st.unlatch = false;

	double lost_at = st.last_good_s + s.sensor_timeout_s;
	if (now >= lost_at) {
		active |= bit(sensor_lost);
		if (!holds(st, sensor_lost))
			st.lost_since_s = lost_at;
	} else {
		next = lost_at;
	}
	if (st.command == Command::unknown)
		active |= bit(state_unknown);
	if (st.duplicate)
		active |= bit(duplicate_zone);

	// The heater as the rules so far allow it; then the rules that time an
	// ON stretch, which may take it back.
	bool on;
	if (active & bit(sensor_lost)) {
		// Frost duty stands in for a thermostat that was working: not for
		// one that never had a reading and a command since it started.
		bool worked = st.have_temp && st.commanded;
		double duty_next = never;
		on = worked && s.lost_duty_pct > 0 && duty_on(st, s, now, &duty_next);
		next = std::fmin(next, duty_next);
	} else {
		on = st.have_temp && st.command == Command::on && !(active & bit(state_unknown));
	}
	on = on && !(active & latched) && !st.duplicate;
	switch_heater(st, on, now);
	check_runaway(st, s, now, &active, &next);
	check_max_on(st, s, now, &active, &next);
	if (active & latched)
		switch_heater(st, false, now);
	check_mismatch(st, s, now, &active, &next);

	st.active = active;
	return Decision{st.heater, active, active & ~before, before & ~active, next};
}

Rule shown(unsigned active)
{
	constexpr Rule most_serious_first[] = {runaway, max_on, duplicate_zone, sensor_lost, state_unknown,
	                                       heater_mismatch};
	const Rule *end = std::end(most_serious_first);
	const Rule *r = std::find_if(std::begin(most_serious_first), end, [=](Rule x) { return active & bit(x); });
	return r == end ? rule_count : *r;
}

} // namespace rules
