// ombrixd's safety rules under synthetic time: each rule trips and clears
// at its boundary, a second either side, and the supervisor, which sleeps
// until next_s, never makes one act late.
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "rules.h"
#include "setpoint.h"
#include "supervisor.h"

using rules::Command;
using rules::Decision;
using rules::Rule;
using rules::Settings;

namespace rules {
// For test names and failure messages.
void PrintTo(Command c, std::ostream *os)
{
	const char *names[] = {"none", "on", "off", "unknown"};
	*os << names[static_cast<int>(c)];
}
} // namespace rules

namespace {

constexpr double never = std::numeric_limits<double>::infinity();
constexpr float room_f = 70;  // a plausible reading

unsigned bit(Rule r)
{
	return 1u << r;
}

// Settings with every timed rule out of the way, so that a test turns on
// only the rules it tries.
Settings quiet()
{
	Settings s;
	s.sensor_timeout_s = never;
	s.command_timeout_s = never;
	s.publish_timeout_s = never;
	s.silent_s = never;
	s.high_limit = INFINITY;
	s.heat_check_s = 0;
	return s;
}

class Rules : public ::testing::Test {
protected:
	Decision at(double now) { return rules::decide(st, s, now); }

	void read(double now, float t) { EXPECT_TRUE(rules::reading(st, s, now, t)) << t; }

	// A good reading and an ON command at now: the heater comes ON.
	void heat(double now, float t = room_f)
	{
		read(now, t);
		rules::command(st, 0, Command::on);
		ASSERT_TRUE(at(now).heater);
	}

	Settings s = quiet();
	rules::State st = rules::start(0);
};

void expect_held(const Decision &d, unsigned active)
{
	EXPECT_EQ(d.active, active);
	EXPECT_EQ(d.tripped, 0u) << "no new edge";
	EXPECT_EQ(d.cleared, 0u) << "no new edge";
}

} // namespace

// ---- plausible readings

struct Plausibility {
	float t;
	bool ok;
};

void PrintTo(const Plausibility &p, std::ostream *os)
{
	*os << p.t;
}

class Plausible : public ::testing::TestWithParam<Plausibility> {};

TEST_P(Plausible, WithinMinAndMaxInclusive)
{
	Settings s;  // 14 .. 122
	EXPECT_EQ(rules::plausible(s, GetParam().t), GetParam().ok) << GetParam().t;
}

INSTANTIATE_TEST_SUITE_P(Readings, Plausible, ::testing::Values(
	Plausibility{14, true}, Plausibility{122, true}, Plausibility{71.6f, true},
	Plausibility{13.99f, false}, Plausibility{122.01f, false}, Plausibility{-40, false},
	Plausibility{NAN, false}, Plausibility{INFINITY, false}, Plausibility{-INFINITY, false}));

// A bound is written in decimal and a reading arrives as a float: a reading
// of exactly the bound as written must still count as inside it.
TEST(PlausibleBounds, AsWrittenAreInclusive)
{
	Settings s;
	s.min = 71.6;   // its float is just below
	s.max = 122.3;  // its float is just above
	EXPECT_TRUE(rules::plausible(s, 71.6f));
	EXPECT_TRUE(rules::plausible(s, 122.3f));
}

// ---- start

TEST_F(Rules, HeaterStaysOffWithoutAGoodReadingAndAnOnCommand)
{
	s.sensor_timeout_s = 60;
	EXPECT_FALSE(at(0).heater);
	rules::command(st, 0, Command::on);
	EXPECT_FALSE(at(1).heater) << "no reading yet";
	EXPECT_FALSE(rules::reading(st, s, 2, NAN));
	EXPECT_FALSE(at(2).heater) << "only a bad reading";

	rules::State fresh = rules::start(0);
	ASSERT_TRUE(rules::reading(fresh, s, 0, room_f));
	EXPECT_FALSE(rules::decide(fresh, s, 1).heater) << "no command yet";
	rules::command(fresh, 0, Command::off);
	EXPECT_FALSE(rules::decide(fresh, s, 2).heater);
	rules::command(fresh, 0, Command::on);
	EXPECT_TRUE(rules::decide(fresh, s, 3).heater);
}

// The frost duty stands in for a thermostat that was working: not for a
// daemon that has never had a reading and a command.
TEST_F(Rules, LostDutyWaitsForAFirstGoodReadingAndCommand)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;
	rules::command(st, 0, Command::on);
	for (double t : {0, 60, 100, 700})
		EXPECT_FALSE(at(t).heater) << "no reading ever, at " << t;

	rules::State fresh = rules::start(0);
	ASSERT_TRUE(rules::reading(fresh, s, 0, room_f));
	for (double t : {0, 60, 100, 700})
		EXPECT_FALSE(rules::decide(fresh, s, t).heater) << "no command ever, at " << t;
}

// The library giving up is no command: it has read nothing.
TEST_F(Rules, LostDutyWaitsForACommandActuallyRead)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;
	read(0, room_f);
	rules::command(st, 0, Command::unknown);
	for (double t : {0, 60, 100, 700})
		EXPECT_FALSE(at(t).heater) << "at " << t;
}

// ---- sensor-lost

TEST_F(Rules, SensorLostTripsAtTheTimeoutAndClearsOnAGoodReading)
{
	s.sensor_timeout_s = 60;
	heat(0);
	Decision d = at(59);
	EXPECT_TRUE(d.heater);
	expect_held(d, 0);
	EXPECT_EQ(d.next_s, 60);

	d = at(60);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::sensor_lost));
	EXPECT_EQ(d.next_s, never) << "nothing to do until a reading comes";
	d = at(61);
	EXPECT_FALSE(d.heater);
	expect_held(d, bit(rules::sensor_lost));

	read(61, room_f);
	d = at(61);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::sensor_lost));
	EXPECT_EQ(d.next_s, 121);
	expect_held(at(62), 0);
}

TEST_F(Rules, SensorLostCountsFromTheStartWhenNoReadingCame)
{
	s.sensor_timeout_s = 60;
	EXPECT_EQ(at(0).next_s, 60);
	expect_held(at(59), 0);
	EXPECT_EQ(at(60).tripped, bit(rules::sensor_lost));
}

TEST_F(Rules, EachGoodReadingPutsTheTimeoutBack)
{
	s.sensor_timeout_s = 60;
	heat(0);
	read(30, room_f);
	EXPECT_EQ(at(30).next_s, 90);
	expect_held(at(89), 0);
	EXPECT_EQ(at(90).tripped, bit(rules::sensor_lost));
}

class BadReading : public Rules, public ::testing::WithParamInterface<float> {};

TEST_P(BadReading, IsRefusedAndDoesNotPutTheTimeoutBack)
{
	s.sensor_timeout_s = 60;
	heat(0);
	EXPECT_FALSE(rules::reading(st, s, 30, GetParam()));
	EXPECT_EQ(st.temp, room_f) << "the last good reading stays";
	EXPECT_EQ(at(30).next_s, 60);
	EXPECT_EQ(at(60).tripped, bit(rules::sensor_lost));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadReading,
	::testing::Values(NAN, INFINITY, -INFINITY, 13.5f, 122.5f));

// ---- frost duty while sensor-lost holds

struct DutyStep {
	double t;
	bool heater;
	double next_s;
};

TEST_F(Rules, LostDutyRunsItsShareOfEachWindowFromTheTrip)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;  // 150 s of each 600
	heat(0);
	for (DutyStep step : std::vector<DutyStep>{
		     {59, true, 60}, {60, true, 210}, {209, true, 210}, {210, false, 660},
		     {211, false, 660}, {659, false, 660}, {660, true, 810}, {809, true, 810},
		     {810, false, 1260}, {1260, true, 1410}}) {
		Decision d = at(step.t);
		EXPECT_EQ(d.heater, step.heater) << "at " << step.t;
		EXPECT_EQ(d.next_s, step.next_s) << "at " << step.t;
		EXPECT_EQ(d.tripped, step.t == 60 ? bit(rules::sensor_lost) : 0u) << "at " << step.t;
	}
}

TEST_F(Rules, LostDutyWindowsStartAgainAtEachTrip)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;
	heat(0);
	EXPECT_TRUE(at(100).heater);
	read(100, room_f);
	rules::command(st, 0, Command::off);
	EXPECT_EQ(at(100).cleared, bit(rules::sensor_lost));
	EXPECT_FALSE(at(100).heater);

	Decision d = at(160);  // lost again: a window of its own
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 310);
	EXPECT_TRUE(at(250).heater) << "the first trip's window ended at 210";
	EXPECT_FALSE(at(310).heater);
}

// A supervisor that wakes late still keeps the windows on the trip's
// boundary.
TEST_F(Rules, LostDutyWindowsCountFromTheTripNotFromItsNotice)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;
	heat(0);
	Decision d = at(300);  // lost since 60: 240 s into the first window
	EXPECT_EQ(d.tripped, bit(rules::sensor_lost));
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.next_s, 660);
}

TEST_F(Rules, NoLostDutyKeepsTheHeaterOff)
{
	s.sensor_timeout_s = 60;
	heat(0);
	for (double t : {60, 210, 660, 6000})
		EXPECT_FALSE(at(t).heater) << "at " << t;
}

// A lost sensor soon starves the controller, and the library then gives
// up reading its command: the frost duty must survive that.
TEST_F(Rules, LostDutyOutlivesStateUnknown)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 25;
	heat(0);
	rules::command(st, 0, Command::unknown);
	EXPECT_TRUE(at(660).heater);
	EXPECT_EQ(at(660).active, bit(rules::sensor_lost) | bit(rules::state_unknown));
}

TEST_F(Rules, RunawayAndMaxOnStillApplyToTheLostDuty)
{
	struct Case {
		Rule rule;
		double Settings::*limit;
	};
	for (Case c : {Case{rules::runaway, &Settings::heat_check_s},
	               Case{rules::max_on, &Settings::max_on_s}}) {
		SCOPED_TRACE(rules::name(c.rule));
		s = quiet();
		s.sensor_timeout_s = 60;
		s.lost_duty_pct = 50;  // 300 s ON
		s.*c.limit = 100;
		st = rules::start(0);
		read(0, room_f);
		rules::command(st, 0, Command::off);
		EXPECT_FALSE(at(0).heater);

		EXPECT_TRUE(at(60).heater);  // a fresh ON stretch
		EXPECT_EQ(at(60).next_s, 160);
		EXPECT_TRUE(at(159).heater);
		Decision d = at(160);
		EXPECT_FALSE(d.heater);
		EXPECT_EQ(d.tripped, bit(c.rule));
		EXPECT_FALSE(at(660).heater) << "latched through the next window";
	}
}

// ---- runaway

struct Rise {
	float gain;
	bool trips;
};

void PrintTo(const Rise &r, std::ostream *os)
{
	*os << "risen " << r.gain;
}

class RunawayCheck : public Rules, public ::testing::WithParamInterface<Rise> {};

TEST_P(RunawayCheck, AtTheEndOfEachWindow)
{
	s.heat_check_s = 100;
	s.heat_gain = 1;
	heat(0);
	read(99, room_f + GetParam().gain);
	Decision d = at(99);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 100);

	d = at(100);
	EXPECT_EQ(d.heater, !GetParam().trips);
	EXPECT_EQ(d.tripped, GetParam().trips ? bit(rules::runaway) : 0u);
	EXPECT_EQ(d.next_s, GetParam().trips ? never : 200) << "the next window starts";
}

INSTANTIATE_TEST_SUITE_P(Gains, RunawayCheck, ::testing::Values(
	Rise{1, false}, Rise{3, false}, Rise{0.75f, true}, Rise{0, true}, Rise{-2, true}));

TEST_F(Rules, RunawayMeasuresEachWindowFromItsOwnStart)
{
	s.heat_check_s = 100;
	s.heat_gain = 1;
	heat(0);
	read(50, room_f + 1);
	EXPECT_TRUE(at(100).heater);
	read(150, room_f + 1.5f);  // 1.5 since the stretch began, 0.5 in this window
	EXPECT_TRUE(at(199).heater);
	EXPECT_EQ(at(200).tripped, bit(rules::runaway));
}

TEST_F(Rules, RunawayStaysLatchedUntilClearLatches)
{
	s.heat_check_s = 100;
	s.heat_gain = 1;
	heat(0);
	EXPECT_EQ(at(100).tripped, bit(rules::runaway));

	read(101, room_f + 20);  // rising now changes nothing
	rules::command(st, 0, Command::off);
	rules::command(st, 0, Command::on);
	for (double t : {101, 200, 5000}) {
		Decision d = at(t);
		EXPECT_FALSE(d.heater) << "at " << t;
		expect_held(d, bit(rules::runaway));
	}

	rules::clear_latches(st);
	Decision d = at(5001);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.active, 0u);
	EXPECT_EQ(d.next_s, 5101) << "a new stretch, a new window";
}

TEST_F(Rules, RunawayTimesOnlyWhileTheHeaterIsOn)
{
	s.heat_check_s = 100;
	s.heat_gain = 1;
	heat(0);
	rules::command(st, 0, Command::off);
	EXPECT_FALSE(at(50).heater);
	expect_held(at(100), 0);
	expect_held(at(1000), 0);
	rules::command(st, 0, Command::on);
	Decision d = at(1000);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 1100);
}

TEST_F(Rules, NoRunawayCheckWhenHeatCheckIsZero)
{
	heat(0);
	Decision d = at(1e6);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, never);
}

// ---- max-on

TEST_F(Rules, MaxOnLatchesAfterThatLongOn)
{
	s.max_on_s = 100;
	heat(0);
	Decision d = at(99);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 100);
	d = at(100);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::max_on));
	rules::command(st, 0, Command::on);
	expect_held(at(101), bit(rules::max_on));
	EXPECT_FALSE(at(1000).heater);

	rules::clear_latches(st);
	d = at(1001);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 1101);
}

TEST_F(Rules, MaxOnCountsFromTheLastBreak)
{
	s.max_on_s = 100;
	heat(0);
	rules::command(st, 0, Command::off);
	EXPECT_FALSE(at(50).heater);
	rules::command(st, 0, Command::on);
	EXPECT_EQ(at(51).next_s, 151);
	expect_held(at(150), 0);
	EXPECT_TRUE(at(150).heater);
	EXPECT_EQ(at(151).tripped, bit(rules::max_on));
}

// Clearing a latch is an edge like any other: the log says so once.
class ClearedLatch : public Rules, public ::testing::WithParamInterface<Rule> {};

TEST_P(ClearedLatch, IsReportedOnce)
{
	(GetParam() == rules::runaway ? s.heat_check_s : s.max_on_s) = 100;
	heat(0);
	ASSERT_EQ(at(100).tripped, bit(GetParam()));
	rules::clear_latches(st);
	EXPECT_EQ(at(101).cleared, bit(GetParam()));
	EXPECT_EQ(at(102).cleared, 0u);
}

INSTANTIATE_TEST_SUITE_P(Latches, ClearedLatch, ::testing::Values(rules::runaway, rules::max_on),
	[](const ::testing::TestParamInfo<Rule> &info) {
		return info.param == rules::runaway ? "runaway" : "max_on";
	});

// ---- state-unknown

class StateUnknown : public Rules, public ::testing::WithParamInterface<Command> {};

TEST_P(StateUnknown, HoldsTheHeaterOffUntilACommandComes)
{
	heat(0);
	rules::command(st, 0, Command::unknown);
	Decision d = at(10);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::state_unknown));
	rules::command(st, 0, Command::unknown);  // the daemon goes on trying
	expect_held(at(11), bit(rules::state_unknown));
	expect_held(at(500), bit(rules::state_unknown));

	rules::command(st, 0, GetParam());
	d = at(501);
	EXPECT_EQ(d.cleared, bit(rules::state_unknown));
	EXPECT_EQ(d.heater, GetParam() == Command::on);
}

INSTANTIATE_TEST_SUITE_P(Commands, StateUnknown, ::testing::Values(Command::on, Command::off),
	[](const ::testing::TestParamInfo<Command> &info) {
		return info.param == Command::on ? "on" : "off";
	});

// A command counts only while it is fresh: a reader stuck in its retries
// leaves an old ON that nobody wrote lately.
TEST_F(Rules, StateUnknownTripsWhenTheLastCommandIsTooOld)
{
	s.command_timeout_s = 10;
	read(0, room_f);
	rules::command(st, 0, Command::on);
	Decision d = at(0);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.next_s, 10);
	EXPECT_TRUE(at(9.5).heater);
	d = at(10);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::state_unknown));
	rules::command(st, 12, Command::on);
	d = at(12);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::state_unknown));
	EXPECT_EQ(d.next_s, 22);
}

// A command ages with the reader's own cycle, not with the sensor's
// timeout: a read stuck in the library (a syslog that stops reading) turns
// the heater OFF within a few periods.
struct CommandAge {
	double period_s, sensor_timeout_s;
	double timeout_s;
};

void PrintTo(const CommandAge &c, std::ostream *os)
{
	*os << "period " << c.period_s << " sensor-timeout " << c.sensor_timeout_s;
}

class CommandTimeout : public ::testing::TestWithParam<CommandAge> {};

TEST_P(CommandTimeout, IsTwoCyclesOfTheReaderAndTwoSeconds)
{
	Config cfg;
	cfg.unit = Unit::fahrenheit;
	cfg.period_s = GetParam().period_s;
	cfg.sensor_timeout_s = GetParam().sensor_timeout_s;
	EXPECT_DOUBLE_EQ(settings_of(cfg).command_timeout_s, GetParam().timeout_s);
}

INSTANTIATE_TEST_SUITE_P(Options, CommandTimeout, ::testing::Values(
	CommandAge{5, 60, 12},        // the defaults: not a minute
	CommandAge{5, 600, 12},
	CommandAge{1, 30, 4},
	CommandAge{0.1, 60, 4},       // each read waits a second, however short the period
	CommandAge{30, 40, 41},       // never older than a reading may be
	CommandAge{1, 1.5, 2.5}));

// ---- publish-failed

TEST_F(Rules, PublishFailedTripsWhenGoodReadingsGoUnpublished)
{
	s.publish_timeout_s = 10;
	heat(0);
	rules::published(st, 0, room_f);
	expect_held(at(0), 0);
	read(5, room_f);  // a reading the controller is never told
	EXPECT_EQ(at(5).next_s, 10);
	EXPECT_TRUE(at(9.5).heater);
	Decision d = at(10);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::publish_failed));
	rules::published(st, 11, room_f);
	d = at(11);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::publish_failed));
}

// Without new readings there is nothing to publish: that is sensor-lost's.
TEST_F(Rules, PublishFailedNeedsAReadingToPublish)
{
	s.publish_timeout_s = 10;
	heat(0);
	rules::published(st, 1, room_f);
	expect_held(at(1000), 0);
}

// ---- high-limit

TEST_F(Rules, HighLimitHoldsAboveTheLimitUntilADegreeBelow)
{
	s.high_limit = 80;
	heat(0, 80);
	expect_held(at(0), 0);  // at the limit is not above it
	read(1, 80.01f);
	Decision d = at(1);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::high_limit));
	read(2, 79.5f);
	EXPECT_FALSE(at(2).heater) << "within a degree of the limit";
	read(3, 79);
	d = at(3);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::high_limit));
}

TEST_F(Rules, HighLimitHoldsOverTheFrostDuty)
{
	s.high_limit = 80;
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 50;
	read(0, 85);
	rules::command(st, 0, Command::on);
	EXPECT_FALSE(at(0).heater);
	EXPECT_FALSE(at(100).heater) << "the last reading was too hot to heat blind";
}

// ---- controller-silent

class Silent : public Rules {
protected:
	void SetUp() override
	{
		s.silent_s = 12;
		heat(0, 70);
		rules::published(st, 0, 70);
	}
};

TEST_F(Silent, TripsWhenTheCommandStaysOnAboveTheOffThreshold)
{
	rules::published(st, 1, 75);  // not above
	expect_held(at(100), 0);
	rules::published(st, 101, 75.5f);
	EXPECT_EQ(at(101).next_s, 113);
	EXPECT_TRUE(at(112.5).heater);
	Decision d = at(113);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::controller_silent));
}

TEST_F(Silent, HoldsUntilTheCommandFollows)
{
	rules::published(st, 1, 78);
	EXPECT_EQ(at(13).tripped, bit(rules::controller_silent));
	rules::published(st, 14, 72);  // back in the band: an ON there may be old
	expect_held(at(14), bit(rules::controller_silent));
	rules::command(st, 15, Command::off);
	Decision d = at(15);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::controller_silent));
	rules::command(st, 16, Command::on);
	EXPECT_TRUE(at(16).heater) << "an ON in the band is the controller's right";
}

// Below its ON threshold an ON is what the controller would write: a room
// left to a dead controller cycles between the two thresholds instead of
// freezing.
TEST_F(Silent, LetsGoBelowTheOnThreshold)
{
	rules::published(st, 1, 78);
	EXPECT_EQ(at(13).tripped, bit(rules::controller_silent));
	rules::published(st, 20, 69);  // not below
	expect_held(at(20), bit(rules::controller_silent));
	rules::published(st, 21, 68.5f);
	Decision d = at(21);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::controller_silent));
	rules::published(st, 30, 76);
	EXPECT_EQ(at(30).next_s, 42) << "a new stretch above counts anew";
}

TEST_F(Silent, CountsFromTheFirstTemperatureAbove)
{
	rules::published(st, 1, 76);
	rules::published(st, 5, 77);
	rules::published(st, 9, 78);
	EXPECT_EQ(at(9).next_s, 13);
	EXPECT_EQ(at(13).tripped, bit(rules::controller_silent));
}

// ---- heater-mismatch

TEST_F(Rules, MismatchIsLoggedButDoesNotHoldTheHeaterOff)
{
	s.mismatch_s = 15;
	heat(0);
	rules::heater_report(st, false);
	EXPECT_EQ(at(0).next_s, 15);
	expect_held(at(14), 0);
	Decision d = at(15);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::heater_mismatch));
	d = at(16);
	EXPECT_TRUE(d.heater);
	expect_held(d, bit(rules::heater_mismatch));

	rules::heater_report(st, true);
	d = at(17);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::heater_mismatch));
}

TEST_F(Rules, MismatchCountStartsAgainWhenTheHeaterSwitches)
{
	s.mismatch_s = 15;
	heat(0);
	rules::heater_report(st, false);
	expect_held(at(10), 0);
	rules::command(st, 0, Command::off);  // the report matches now
	expect_held(at(10), 0);
	rules::command(st, 0, Command::on);
	EXPECT_EQ(at(12).next_s, 27);
	expect_held(at(26), 0);
	EXPECT_EQ(at(27).tripped, bit(rules::heater_mismatch));
}

TEST_F(Rules, MismatchCountStartsAgainWhenASwitchLeavesItMismatched)
{
	s.mismatch_s = 15;
	heat(0);
	rules::heater_report(st, false);
	expect_held(at(0), 0);
	rules::heater_report(st, true);  // following at last, just as it is told OFF
	rules::command(st, 0, Command::off);
	EXPECT_EQ(at(10).next_s, 25);
	expect_held(at(15), 0);
	EXPECT_EQ(at(25).tripped, bit(rules::heater_mismatch));
}

TEST_F(Rules, MismatchHoldsThroughASwitch)
{
	s.mismatch_s = 15;
	heat(0);
	rules::heater_report(st, false);
	EXPECT_EQ(at(15).tripped, bit(rules::heater_mismatch));
	rules::heater_report(st, true);  // stuck the other way now
	rules::command(st, 0, Command::off);
	for (double t : {20, 21, 35, 100})
		expect_held(at(t), bit(rules::heater_mismatch));
}

// A plug that has said nothing yet has not shown that it follows.
TEST_F(Rules, MismatchCountsFromTheStartUntilAFirstReport)
{
	s.mismatch_s = 15;
	read(0, room_f);
	rules::command(st, 0, Command::off);
	EXPECT_FALSE(at(0).heater);
	expect_held(at(14), 0);
	EXPECT_EQ(at(15).tripped, bit(rules::heater_mismatch));
}

TEST_F(Rules, NoMismatchRuleForAHeaterThatCannotReport)
{
	heat(0);
	rules::heater_report(st, false);
	expect_held(at(1e6), 0);
}

// ---- duplicate-zone

TEST_F(Rules, ADuplicateZoneHoldsTheHeaterOffUntilTheBusSaysTheZoneIsOurs)
{
	s.lost_duty_pct = 50;  // not even the frost duty
	s.sensor_timeout_s = 60;
	heat(0);
	rules::duplicate(st, true);
	Decision d = at(1);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::duplicate_zone));
	rules::clear_latches(st);  // SIGHUP is no cure: the bus is still shared
	read(2, room_f);
	expect_held(at(2), bit(rules::duplicate_zone));
	EXPECT_FALSE(at(200).heater);
	EXPECT_EQ(at(200).active, bit(rules::duplicate_zone) | bit(rules::sensor_lost));
	EXPECT_STREQ(rules::name(rules::duplicate_zone), "duplicate-zone");
	// The other daemon has gone: the zone heats again on a fresh reading
	// and command, with nothing to clear by hand.
	rules::duplicate(st, false);
	read(201, room_f);
	rules::published(st, 201, room_f);
	rules::command(st, 201, Command::on);
	d = at(201);
	EXPECT_TRUE(d.heater);
	EXPECT_EQ(d.cleared, bit(rules::duplicate_zone) | bit(rules::sensor_lost));
	EXPECT_EQ(d.active, 0u);
}

// ---- the high limit where the person's band puts it

// A zone's high limit, given its unit, band and any --high-limit, and the
// readings either side of it.
struct Limit {
	Unit unit;
	double target, band;
	double explicit_limit;  // NaN: follows the band
	float below, above;     // the last reading that heats, the first that does not
};

void PrintTo(const Limit &l, std::ostream *os)
{
	*os << (l.unit == Unit::fahrenheit ? "F" : "C") << " target " << l.target << " band " << l.band
	    << " limit " << l.explicit_limit;
}

class HighLimitOfTheBand : public Rules, public ::testing::WithParamInterface<Limit> {};

TEST_P(HighLimitOfTheBand, TripsJustAboveItsTop)
{
	Config cfg;
	cfg.unit = GetParam().unit;
	cfg.high_limit = GetParam().explicit_limit;
	s.high_limit = high_limit(cfg, Setpoint{GetParam().target, GetParam().band, Mode::heat});
	heat(0, GetParam().below);
	expect_held(at(0), 0);
	read(1, GetParam().above);
	Decision d = at(1);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.tripped, bit(rules::high_limit));
}

INSTANTIATE_TEST_SUITE_P(Bands, HighLimitOfTheBand, ::testing::Values(
	Limit{Unit::fahrenheit, 72, 6, NAN, 80, 80.01f},        // the controller's band: 75 + 5
	Limit{Unit::fahrenheit, 64, 2, NAN, 70, 70.01f},        // a night setback moves it down
	Limit{Unit::celsius, 21, 1, NAN, 24.5f, 24.51f},         // 21.5 + 3
	Limit{Unit::celsius, 30, 4, NAN, 35, 35.01f},            // the highest target, 32 + 3
	Limit{Unit::celsius, 17, 1, 26, 26, 26.01f},             // given, it stays where it was put
	Limit{Unit::fahrenheit, 86, 6, 95, 95, 95.01f}));

// A setback lowers the limit below a room the old band kept warm: the old
// limit holds until the room is down to the new one, then the new one.
class LimitMovedDown : public Rules, public ::testing::WithParamInterface<float> {};

TEST_P(LimitMovedDown, HoldsTheOldUntilTheRoomIsBelowTheNew)
{
	s.high_limit = 80;
	heat(0, GetParam());  // the room when the limit moves from 80 to 74
	s.high_limit = 74;
	rules::limit_moved(st, s, 80);
	expect_held(at(1), 0);
	read(2, 80.01f);
	EXPECT_EQ(at(2).active, bit(rules::high_limit)) << "never above the old one";
	read(3, 74);
	EXPECT_EQ(at(3).active, bit(rules::high_limit)) << "within a degree of the new one";
	read(4, 72.9f);
	EXPECT_EQ(at(4).active, 0u);
	read(5, 74.5f);
	EXPECT_EQ(at(5).active, bit(rules::high_limit)) << "the new one, from then on";
}

INSTANTIATE_TEST_SUITE_P(Rooms, LimitMovedDown, ::testing::Values(75, 79.9f, 74, 70));

// A start that finds a setback kept moves the limit before any reading:
// the zone's own limit holds the room until it is down to the setback's.
struct FirstReading {
	float first;
	unsigned first_active;
	float then;
	unsigned then_active;
};

void PrintTo(const FirstReading &f, std::ostream *os)
{
	*os << "first " << f.first << " then " << f.then;
}

class LimitMovedAtStart : public Rules, public ::testing::WithParamInterface<FirstReading> {};

TEST_P(LimitMovedAtStart, EasesFromTheZonesOwnLimit)
{
	s.high_limit = 60;  // a kept 52 and a band of 6, from the zone's 80
	rules::limit_moved(st, s, 80);
	rules::command(st, 0, Command::off);
	read(1, GetParam().first);
	EXPECT_EQ(at(1).active, GetParam().first_active) << GetParam().first;
	read(2, GetParam().then);
	EXPECT_EQ(at(2).active, GetParam().then_active) << GetParam().then;
}

INSTANTIATE_TEST_SUITE_P(Rooms, LimitMovedAtStart, ::testing::Values(
	FirstReading{74, 0, 70, 0},                                     // a warm room cools: no fault
	FirstReading{79.9f, 0, 80.01f, bit(rules::high_limit)},          // never above the zone's own
	FirstReading{80.5f, bit(rules::high_limit), 79.5f, bit(rules::high_limit)},
	FirstReading{74, 0, 59, 0},
	FirstReading{59, 0, 61, bit(rules::high_limit)},                 // down once: the new one holds
	FirstReading{60, 0, 60.5f, bit(rules::high_limit)}));

// Raised at start, the new limit holds from the first reading.
TEST_F(Rules, ALimitRaisedAtStartHoldsAtOnce)
{
	s.high_limit = 80;
	rules::limit_moved(st, s, 60);
	rules::command(st, 0, Command::on);
	read(1, 80.5f);
	EXPECT_EQ(at(1).tripped, bit(rules::high_limit));
}

TEST_F(Rules, ALimitMovedUpHoldsAtOnceAndOneAlreadyTrippedStays)
{
	s.high_limit = 74;
	read(0, 76);
	rules::command(st, 0, Command::on);
	EXPECT_EQ(at(0).tripped, bit(rules::high_limit));
	s.high_limit = 70;
	rules::limit_moved(st, s, 74);
	expect_held(at(1), bit(rules::high_limit));
	s.high_limit = 80;
	rules::limit_moved(st, s, 70);
	EXPECT_EQ(at(2).cleared, bit(rules::high_limit));
}

// A target is refused where it would lift the band into a given limit,
// or past the bounds a person may set; the rules never see it.
struct Refusal {
	double target, band, limit;
	bool refused;
};

class TargetBounds : public ::testing::TestWithParam<Refusal> {};

TEST_P(TargetBounds, KeepTheBandBelowAGivenLimit)
{
	Config cfg;
	cfg.unit = Unit::celsius;
	cfg.target_min = 7;
	cfg.target_max = 30;
	cfg.high_limit = GetParam().limit;
	EXPECT_EQ(refuse_target(cfg, GetParam().target, GetParam().band) != nullptr, GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(Targets, TargetBounds, ::testing::Values(
	Refusal{7, 1, NAN, false}, Refusal{30, 1, NAN, false}, Refusal{6.9, 1, NAN, true},
	Refusal{30.1, 1, NAN, true}, Refusal{NAN, 1, NAN, true}, Refusal{INFINITY, 1, NAN, true},
	Refusal{24.4, 1, 25, false}, Refusal{24.5, 1, 25, true}, Refusal{23, 4, 25, true}));

// ---- the rest between an OFF and the next ON

struct Rest {
	double t;
	Command c;
	bool heater;
	double next_s;
};

void PrintTo(const Rest &r, std::ostream *os)
{
	*os << "at " << r.t;
}

TEST_F(Rules, AnOnWaitsOutTheRestAfterAnOffAndAnOffNeverWaits)
{
	s.min_off_s = 120;
	read(0, room_f);
	for (Rest step : std::vector<Rest>{
		     {0, Command::on, true, never},       // the first ON after the start waits for nothing
		     {10, Command::off, false, never},    // an OFF at once
		     {11, Command::on, false, 130},
		     {129.5, Command::on, false, 130},
		     {130, Command::on, true, never},
		     {131, Command::off, false, never},   // a second ON: OFF all the same
		     {131.5, Command::on, false, 251},
		     {200, Command::off, false, never},   // nothing to wait for while OFF is asked
		     {251, Command::on, true, never}}) {
		SCOPED_TRACE(::testing::PrintToString(step));
		rules::command(st, step.t, step.c);
		Decision d = at(step.t);
		EXPECT_EQ(d.heater, step.heater);
		EXPECT_EQ(d.next_s, step.next_s);
		EXPECT_EQ(d.active, 0u) << "the rest is no fault";
	}
}

// Whatever took the heater OFF, the next ON waits the same.
struct Cause {
	const char *name;
	void (*make)(rules::State &st, Settings &s, double now);
	void (*undo)(rules::State &st, Settings &s, double now);
};

void PrintTo(const Cause &c, std::ostream *os)
{
	*os << c.name;
}

class RestAfter : public Rules, public ::testing::WithParamInterface<Cause> {};

TEST_P(RestAfter, AnyOff)
{
	s.min_off_s = 60;
	s.high_limit = 80;
	heat(0);
	GetParam().make(st, s, 10);
	EXPECT_FALSE(at(10).heater);
	GetParam().undo(st, s, 11);
	rules::command(st, 11, Command::on);
	Decision d = at(11);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.next_s, 70);
	EXPECT_FALSE(at(69.9).heater);
	EXPECT_TRUE(at(70).heater);
}

INSTANTIATE_TEST_SUITE_P(Causes, RestAfter, ::testing::Values(
	Cause{"command", [](rules::State &st, Settings &, double t) { rules::command(st, t, Command::off); },
	      [](rules::State &, Settings &, double) {}},
	Cause{"mode_off", [](rules::State &st, Settings &, double) { rules::set_mode(st, true); },
	      [](rules::State &st, Settings &, double) { rules::set_mode(st, false); }},
	Cause{"high_limit", [](rules::State &st, Settings &s, double t) { rules::reading(st, s, t, 85); },
	      [](rules::State &st, Settings &s, double t) { rules::reading(st, s, t, room_f); }},
	Cause{"unknown", [](rules::State &st, Settings &, double t) { rules::command(st, t, Command::unknown); },
	      [](rules::State &, Settings &, double) {}},
	Cause{"duplicate", [](rules::State &st, Settings &, double) { rules::duplicate(st, true); },
	      [](rules::State &st, Settings &, double) { rules::duplicate(st, false); }}),
	[](const auto &info) { return std::string(info.param.name); });

// A hub flooding heat and off at 200 a second for ten minutes, or a
// controller that flips every read: the heater switches at most twice a
// rest, and each ON still ends at the first OFF.
TEST_F(Rules, AFloodSwitchesAtMostTwiceARest)
{
	s.min_off_s = 120;
	for (double step_s : {0.005, 1.0, 61.0}) {
		SCOPED_TRACE(step_s);
		st = rules::start(0);
		read(0, room_f);
		unsigned switches = 0, flips = 0;
		bool was = false;
		for (double t = 0; t < 600; t += step_s, flips++) {
			Command c = flips % 2 ? Command::off : Command::on;
			rules::command(st, t, c);
			bool on = at(t).heater;
			if (c == Command::off) {
				EXPECT_FALSE(on) << "at " << t;
			}
			switches += on != was;
			was = on;
		}
		EXPECT_LE(switches, 2 * (600 / 120 + 1));
		EXPECT_GE(switches, 3u) << "ON again after a rest";
	}
}

// ---- mode off

TEST_F(Rules, ModeOffHoldsTheHeaterOffWithoutARule)
{
	heat(0);
	rules::set_mode(st, true);
	Decision d = at(1);
	EXPECT_FALSE(d.heater);
	EXPECT_EQ(d.active, 0u) << "off is the person's wish, not a fault";
	EXPECT_EQ(d.tripped, 0u);
	rules::set_mode(st, false);
	EXPECT_TRUE(at(2).heater) << "heat gives the controller its say back";
}

TEST_F(Rules, ModeOffHoldsOverTheFrostDuty)
{
	s.sensor_timeout_s = 60;
	s.lost_duty_pct = 100;
	heat(0);
	rules::set_mode(st, true);
	EXPECT_FALSE(at(100).heater);
	EXPECT_EQ(at(100).active, bit(rules::sensor_lost));
}

TEST_F(Rules, ModeHeatClearsNoLatchedRule)
{
	s.max_on_s = 100;
	heat(0);
	EXPECT_EQ(at(100).tripped, bit(rules::max_on));
	rules::set_mode(st, true);
	at(101);
	rules::set_mode(st, false);
	expect_held(at(102), bit(rules::max_on));
	EXPECT_FALSE(at(102).heater);
}

// ---- the rule a state line names

TEST(Shown, TheMostSeriousRule)
{
	// Most serious first: a latch needs a person, and so does a zone two
	// daemons claim; a room too hot or a controller that does not answer is
	// heat nobody asked for; a lost sensor blinds the controller, an
	// unpublished reading or an unread command stops it, a mismatch only
	// warns.
	const Rule order[] = {rules::runaway, rules::max_on, rules::duplicate_zone, rules::high_limit,
	                      rules::controller_silent, rules::sensor_lost, rules::publish_failed,
	                      rules::state_unknown, rules::heater_mismatch};
	static_assert(std::size(order) == rules::rule_count, "every rule has its place");
	EXPECT_EQ(rules::shown(0), rules::rule_count);
	for (size_t i = 0; i < std::size(order); i++) {
		EXPECT_EQ(rules::shown(bit(order[i])), order[i]);
		for (size_t j = i + 1; j < std::size(order); j++)
			EXPECT_EQ(rules::shown(bit(order[i]) | bit(order[j])), order[i])
				<< rules::name(order[i]) << " over " << rules::name(order[j]);
	}
}

// ---- next_s: the supervisor sleeps until then

// What the machine is fed, at whole seconds.
struct Event {
	enum Kind { read, command, report, hup, publish } kind;
	double t;
	float temp = 0;
	Command c = Command::none;
	bool on = false;
};

struct Script {
	const char *name;
	Settings s;
	std::vector<Event> events;
	double end_s;
};

void feed(rules::State &st, const Settings &s, const Event &e)
{
	switch (e.kind) {
	case Event::read:
		rules::reading(st, s, e.t, e.temp);
		break;
	case Event::command:
		rules::command(st, e.t, e.c);
		break;
	case Event::report:
		rules::heater_report(st, e.on);
		break;
	case Event::hup:
		rules::clear_latches(st);
		break;
	case Event::publish:
		rules::published(st, e.t, e.temp);
		break;
	}
}

// Readings from..to every step seconds, rising by slope a second.
void readings(std::vector<Event> &ev, double from, double to, double step, float t0, float slope)
{
	for (double t = from; t <= to; t += step)
		ev.push_back({Event::read, t, t0 + slope * static_cast<float>(t - from)});
}

Script lost_with_duty()
{
	Script sc{"lost_with_duty", quiet(), {}, 3000};
	sc.s.sensor_timeout_s = 60;
	sc.s.lost_duty_pct = 25;
	sc.s.heat_check_s = 100;
	sc.s.heat_gain = 1;
	sc.s.max_on_s = 1000;
	readings(sc.events, 0, 500, 10, 70, 0.02f);
	sc.events.push_back({Event::command, 5, 0, Command::on});
	readings(sc.events, 1300, 1400, 25, 72, 0.05f);
	sc.events.push_back({Event::hup, 1300});
	sc.events.push_back({Event::command, 2000, 0, Command::unknown});
	return sc;
}

Script mismatch_and_unknown()
{
	Script sc{"mismatch_and_unknown", quiet(), {}, 1000};
	sc.s.sensor_timeout_s = 30;
	sc.s.mismatch_s = 15;
	readings(sc.events, 0, 1000, 10, 70, 0);
	sc.events.push_back({Event::command, 0, 0, Command::on});
	sc.events.push_back({Event::report, 0, 0, Command::none, false});
	sc.events.push_back({Event::report, 40, 0, Command::none, true});
	sc.events.push_back({Event::command, 100, 0, Command::off});
	sc.events.push_back({Event::command, 200, 0, Command::unknown});
	sc.events.push_back({Event::command, 300, 0, Command::on});
	sc.events.push_back({Event::report, 360, 0, Command::none, false});
	return sc;
}

Script flapping_sensor()
{
	Script sc{"flapping_sensor", quiet(), {}, 2500};
	sc.s.sensor_timeout_s = 30;
	sc.s.lost_duty_pct = 40;
	sc.s.heat_check_s = 60;
	sc.s.heat_gain = 0.5;
	sc.s.max_on_s = 200;
	readings(sc.events, 0, 150, 7, 68, 0.01f);
	sc.events.push_back({Event::command, 3, 0, Command::on});
	sc.events.push_back({Event::read, 170, NAN});
	readings(sc.events, 400, 420, 10, 69, 0);
	readings(sc.events, 900, 1300, 13, 69, 0.02f);
	sc.events.push_back({Event::hup, 1000});
	sc.events.push_back({Event::hup, 1500});
	return sc;
}

// A controller that answers, then dies with its command ON; readings that
// stop being published; a room that overheats.
Script dead_controller()
{
	Script sc{"dead_controller", quiet(), {}, 600};
	sc.s.sensor_timeout_s = 30;
	sc.s.command_timeout_s = 31;
	sc.s.publish_timeout_s = 30;
	sc.s.silent_s = 16;
	sc.s.high_limit = 80;
	for (double t = 0; t <= 600; t += 5) {
		float temp = t < 100 ? 72 : t < 200 ? 77 : t < 300 ? 66 : t < 400 ? 82 : 70;
		sc.events.push_back({Event::read, t, temp});
		if (t < 450 || t > 520)
			sc.events.push_back({Event::publish, t, temp});
		if (t < 250 || t > 550)
			sc.events.push_back({Event::command, t, 0, t < 50 ? Command::off : Command::on});
	}
	return sc;
}

// A controller that flips its command every few seconds against a rest
// between an OFF and the next ON, a sensor that goes quiet, a reader that
// stops, a room that overheats.
Script flipping_controller()
{
	Script sc{"flipping_controller", quiet(), {}, 700};
	sc.s.sensor_timeout_s = 30;
	sc.s.command_timeout_s = 12;
	sc.s.high_limit = 80;
	sc.s.min_off_s = 45;
	for (double t = 0; t <= 700; t += 10)
		if (t < 300 || t > 400)
			sc.events.push_back({Event::read, t, t == 500 ? 85.0f : 70.0f});
	for (double t = 0; t <= 700; t += 7)
		if (t < 200 || t > 250)
			sc.events.push_back({Event::command, t, 0, static_cast<int>(t) % 14 ? Command::off : Command::on});
	return sc;
}

void PrintTo(const Script &sc, std::ostream *os)
{
	*os << sc.name;
}

class NextDeadline : public ::testing::TestWithParam<Script> {};

// One machine decided every second, one only at events and at next_s, as
// the supervisor does: they must agree at every second, or some rule's
// deadline was missing from next_s and it acted late.
TEST_P(NextDeadline, SleepingUntilItNeverActsLate)
{
	const Script &sc = GetParam();
	rules::State dense = rules::start(0), sparse = rules::start(0);
	Decision last{};
	double due = 0;
	unsigned dense_edges = 0, sparse_edges = 0;
	for (double t = 0; t <= sc.end_s; t++) {
		bool fed = false;
		for (const Event &e : sc.events) {
			if (e.t != t)
				continue;
			feed(dense, sc.s, e);
			feed(sparse, sc.s, e);
			fed = true;
		}
		Decision d = rules::decide(dense, sc.s, t);
		dense_edges += static_cast<unsigned>(std::popcount(d.tripped | d.cleared));
		if (fed || t >= due) {
			last = rules::decide(sparse, sc.s, t);
			due = last.next_s;
			sparse_edges += static_cast<unsigned>(std::popcount(last.tripped | last.cleared));
		}
		ASSERT_EQ(last.heater, d.heater) << "at " << t;
		ASSERT_EQ(last.active, d.active) << "at " << t;
	}
	EXPECT_EQ(sparse_edges, dense_edges);
	EXPECT_GT(dense_edges, 4u) << "the script exercises the rules";
}

INSTANTIATE_TEST_SUITE_P(Scripts, NextDeadline,
	::testing::Values(lost_with_duty(), mismatch_and_unknown(), flapping_sensor(), dead_controller(),
	                  flipping_controller()),
	[](const ::testing::TestParamInfo<Script> &info) { return std::string(info.param.name); });

namespace {

// The RULES section of the man page, on one line, as a reader sees it.
std::string rules_page()
{
	std::ifstream page(MAN_PAGE);
	std::string line, text;
	bool in = false;
	while (std::getline(page, line)) {
		if (line.starts_with(".SH"))
			in = line == ".SH RULES";
		else if (in)
			text += line + " ";
	}
	for (auto [from, to] : {std::pair{"\\-", "-"}, {"\\(dq", "\""}, {"\\fB", ""}, {"\\fR", ""}, {".B ", ""}})
		for (size_t at; (at = text.find(from)) != std::string::npos;)
			text.replace(at, std::strlen(from), to);
	return text;
}

// The man page names every rule, and quotes each trip line as the daemon
// words it with the figures it shows.
TEST(RulesPage, QuotesEveryRuleAsTheDaemonSaysIt)
{
	Settings s;
	s.sensor_timeout_s = 60;
	s.command_timeout_s = 12;
	s.publish_timeout_s = 60;
	s.silent_s = 16;
	s.high_limit = 80;
	s.heat_check_s = 1800;
	s.heat_gain = 1;
	s.max_on_s = 3600;
	s.mismatch_s = 15;
	rules::State st = rules::start(0);
	st.command = Command::unknown;
	st.published = 78;
	st.temp = 85;
	rules::Facts facts{s, st, "attic", "the status file holds no command"};
	std::string page = rules_page();
	ASSERT_FALSE(page.empty()) << MAN_PAGE;
	size_t tags = 0;
	for (size_t at = 0; (at = page.find(".TP ", at)) != std::string::npos; at++)
		tags++;
	EXPECT_EQ(tags, static_cast<size_t>(rules::rule_count)) << "a tag for each rule, and no other";
	for (unsigned r = 0; r < rules::rule_count; r++) {
		auto rule = static_cast<Rule>(r);
		char words[200];
		rules::trip_words(rule, facts, words, sizeof words);
		std::string name = rules::name(rule);
		EXPECT_NE(page.find(".TP " + name + " "), std::string::npos) << name << " has no tag";
		std::string said = "\"rule " + name + " tripped: " + words + "\"";
		EXPECT_NE(page.find(said), std::string::npos) << said << " is not quoted";
	}
}

} // namespace
