// The real ombrixd, with file: sensors and heaters in a private /tmp, in
// real time: alone, with the status file written by the test, or with the
// real client deciding.  Short settings keep each case to a few seconds.
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "blackbox.h"

namespace {

using namespace blackbox;

TEST_F(Daemon, HeaterFollowsTheClientBothWaysWithOneStateLineAChange)
{
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.start(files());
	ASSERT_TRUE(heater_is(on, client_deadline)) << context() << run.client_err();
	EXPECT_EQ(run.get("temp"), "60.000000\n");
	EXPECT_EQ(run.get("status"), "ON\n");

	run.put("sensor", "80\n");
	ASSERT_TRUE(heater_is(off, client_deadline)) << context();
	EXPECT_EQ(run.get("status"), "OFF\n");
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();

	const std::regex state(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d mode=(heat|off) target=-?\d+\.\d )"
	                       R"(temp=(-|-?\d+\.\d\d) )"
	                       R"(command=(-|ON|OFF|unknown) heater=(ON|OFF|failed) )"
	                       R"(rule=(-|sensor-lost|runaway|max-on|state-unknown|heater-mismatch|)"
	                       R"(controller-silent|publish-failed|high-limit))");
	std::vector<std::string> shown = lines(run.out());
	ASSERT_FALSE(shown.empty());
	for (size_t i = 0; i < shown.size(); i++) {
		EXPECT_TRUE(std::regex_match(shown[i], state)) << shown[i];
		if (i > 0 && shown[i].size() > 20) {
			EXPECT_NE(shown[i].substr(20), shown[i - 1].substr(20)) << "a state line without a change";
		}
	}
	EXPECT_TRUE(has(run.out(), " temp=60.00 command=ON heater=ON rule=-\n")) << run.out();
	EXPECT_TRUE(has(run.out(), " temp=80.00 command=OFF heater=OFF rule=-\n")) << run.out();
}

TEST_F(Daemon, RemovedSensorSwitchesOffWithinTheTimeoutAndBackOnWhenItReturns)
{
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.start(files());
	ASSERT_TRUE(heater_is(on, client_deadline)) << context() << run.client_err();

	auto removed = Clock::now();
	run.remove("sensor");
	ASSERT_TRUE(heater_is(off, lost_deadline)) << context();
	auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removed);
	RecordProperty("off_after_ms", static_cast<int>(took.count()));
	EXPECT_TRUE(reports("rule sensor-lost tripped")) << context();
	EXPECT_TRUE(prints("heater=OFF rule=sensor-lost\n")) << context();

	run.put("sensor", "60\n");
	EXPECT_TRUE(heater_is(on, settle)) << context();
	EXPECT_TRUE(reports("rule sensor-lost cleared")) << context();
}

// With no status file the library retries for two minutes; the rules must
// not wait for it.
TEST_F(Daemon, RemovedSensorSwitchesOffWhileTheLibraryIsStuckInItsRetries)
{
	start_on();
	run.remove("status");
	std::this_thread::sleep_for(1500ms);  // the exchange is into its retries by now

	auto removed = Clock::now();
	run.remove("sensor");
	EXPECT_TRUE(heater_is(off, lost_deadline)) << context();
	auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removed);
	RecordProperty("off_after_ms", static_cast<int>(took.count()));
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << "a stuck exchange held up the end\n" << context();
}

struct Stop {
	int sig;
	const char *says;
};

void PrintTo(const Stop &s, std::ostream *os)
{
	*os << sigabbrev_np(s.sig);
}

class Stopping : public Daemon, public ::testing::WithParamInterface<Stop> {};

TEST_P(Stopping, LeavesTheHeaterOffAndExitsZero)
{
	start_on();
	run.signal(GetParam().sig);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_EQ(run.get("heater"), off);
	EXPECT_TRUE(has(run.err(), std::string("ombrixd: ") + GetParam().says + "\n")) << context();
	std::vector<std::string> shown = lines(run.out());
	ASSERT_FALSE(shown.empty());
	EXPECT_TRUE(has(shown.back(), " heater=OFF ")) << run.out();
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopping,
	::testing::Values(Stop{SIGTERM, "Received a termination signal; exiting."},
	                  Stop{SIGINT, "Received a kill signal; exiting."}));

TEST_F(Daemon, DurationEndsTheRunAsSigtermDoes)
{
	start_on({"--duration", "2"});
	EXPECT_EQ(run.wait_exit(settle), 0) << context();
	EXPECT_EQ(run.get("heater"), off);
}

struct Bad {
	const char *name;
	const char *sensor;   // --sensor, in /tmp
	const char *good;     // a reading that heats: 60 °F, 15.5 °C
	const char *bad;
	const char *why;      // as the daemon logs it
};

void PrintTo(const Bad &b, std::ostream *os)
{
	*os << b.name;
}

class BadReading : public Daemon, public ::testing::WithParamInterface<Bad> {};

// Never published, and after the timeout the heater goes OFF with the rule
// named, though the controller still says ON.
TEST_P(BadReading, IsNotPublishedAndTripsSensorLost)
{
	const Bad &b = GetParam();
	run.put("sensor", b.good);
	run.put("heater", off);
	run.put("status", "ON\n");
	run.start(files({"--sensor", b.sensor}), false);
	ASSERT_TRUE(heater_is(on, settle)) << context();
	std::string published = run.get("temp");

	run.put("sensor", b.bad);
	EXPECT_TRUE(heater_is(off, lost_deadline)) << context();
	EXPECT_EQ(run.get("temp"), published);
	EXPECT_TRUE(has(run.err(), std::string("bad reading: ") + b.why + "\n")) << context();
	EXPECT_TRUE(prints("heater=OFF rule=sensor-lost\n")) << context();
}

const char w1_good[] = "f8 00 4b 46 7f ff 08 10 ce : crc=ce YES\nf8 00 4b 46 7f ff 08 10 ce t=15500\n";
const char w1_crc[] = "72 01 4b 46 7f ff 0e 10 57 : crc=57 NO\n72 01 4b 46 7f ff 0e 10 57 t=30000\n";
const char w1_power_on[] = "50 05 4b 46 7f ff 0c 10 1c : crc=1c YES\n50 05 4b 46 7f ff 0c 10 1c t=85000\n";
const char w1_zeros[] = "00 00 00 00 00 00 00 00 00 : crc=00 YES\n00 00 00 00 00 00 00 00 00 t=0\n";

INSTANTIATE_TEST_SUITE_P(Kinds, BadReading,
	::testing::Values(
		Bad{"w1_crc", "w1:/tmp/sensor", w1_good, w1_crc, "the w1 chip failed its CRC"},
		Bad{"w1_power_on", "w1:/tmp/sensor", w1_good, w1_power_on, "the w1 chip holds its power-on value"},
		Bad{"w1_zeros", "w1:/tmp/sensor", w1_good, w1_zeros, "the w1 chip read as all zeros"},
		Bad{"exec_message", "exec:cat /tmp/sensor", "60\n", "Error 2: no such device\n", "no number"},
		Bad{"no_number", "file:/tmp/sensor", "60\n", "warm\n", "no number"},
		Bad{"implausible", "file:/tmp/sensor", "60\n", "200\n", "outside --min and --max"}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(Daemon, BadReadingsFromTheStartPublishNothing)
{
	run.put("sensor", w1_power_on);
	run.put("heater", off);
	run.put("status", "ON\n");
	run.start(files({"--sensor", "w1:/tmp/sensor"}), false);
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "rule=sensor-lost"); }, lost_deadline)) << context();
	EXPECT_EQ(run.get("heater"), off);
	EXPECT_EQ(run.get("temp"), "");
}

struct Units {
	std::vector<std::string> args;
	const char *reading;
	const char *published;
};

void PrintTo(const Units &u, std::ostream *os)
{
	if (u.args.empty())
		*os << "defaults";
	print_args(u.args, os);
}

class Published : public Daemon, public ::testing::WithParamInterface<Units> {};

TEST_P(Published, InTheUnitAsked)
{
	std::vector<std::string> args = {"--sensor", "file:/tmp/sensor", "--heater", "file:/tmp/heater",
	                                 "--period", "1"};
	args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
	run.put("sensor", GetParam().reading);
	run.put("heater", off);
	run.start(args, false);
	EXPECT_TRUE(wait_for([&] { return run.get("temp") == GetParam().published; }, settle))
		<< run.get("temp") << context();
}

INSTANTIATE_TEST_SUITE_P(Conversions, Published,
	::testing::Values(Units{{}, "20\n", "68.000000\n"},
	                  Units{{"--sensor-unit", "F"}, "68\n", "68.000000\n"},
	                  Units{{"--unit", "C"}, "20.5\n", "68.900002\n"},
	                  Units{{"--unit", "C", "--sensor-unit", "F"}, "77\n", "77.000000\n"}));

// The person's band moved onto the controller's 69 to 75: its edges land on
// the controller's, in either unit; and --unit C's old Celsius band is one
// setting away.
INSTANTIATE_TEST_SUITE_P(Bands, Published,
	::testing::Values(Units{{"--target", "70", "--band", "2"}, "20\n", "66.000000\n"},
	                  Units{{"--unit", "C", "--target", "21", "--band", "1"}, "20.5\n", "69.000000\n"},
	                  Units{{"--unit", "C", "--target", "21", "--band", "1"}, "21.5\n", "75.000000\n"},
	                  Units{{"--unit", "C", "--target", "72", "--band", "6", "--target-max", "72"}, "20.5\n",
	                        "20.500000\n"}));

// An exec: heater in /tmp that logs each call to /tmp/calls; it fails, or
// hangs, while /tmp/fail or /tmp/hang exists.
const char relay[] =
	"echo \"$1 $$\" >>/tmp/calls\n"
	"[ -e /tmp/hang ] && exec sleep 60\n"
	"[ -e /tmp/fail ] && exit 1\n"
	"exit 0\n";

size_t calls(const std::string &log, const std::string &word)
{
	size_t n = 0;
	for (const std::string &l : lines(log))
		n += l.starts_with(word + " ");
	return n;
}

TEST_F(Daemon, FailingExecHeaterIsReportedAndTriedAgainEachPeriod)
{
	run.put("relay", relay);
	run.put("fail", "");
	run.put("sensor", "60\n");
	run.put("status", "ON\n");
	run.start(files({"--heater", "exec:sh /tmp/relay"}), false);
	EXPECT_TRUE(wait_for([&] { return calls(run.get("calls"), "on") >= 2; }, settle)) << run.get("calls");
	EXPECT_TRUE(reports("cannot switch the heater ON: the heater command failed\n")) << context();
	EXPECT_TRUE(prints(" heater=failed ")) << "the state line shows the wish, not the heater\n" << context();

	// Once it takes, it is not switched again.
	run.remove("fail");
	std::this_thread::sleep_for(2500ms);
	size_t tries = calls(run.get("calls"), "on");
	std::this_thread::sleep_for(2000ms);
	EXPECT_EQ(calls(run.get("calls"), "on"), tries) << run.get("calls");
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	std::vector<std::string> called = lines(run.get("calls"));
	ASSERT_FALSE(called.empty()) << "the relay was never called";
	EXPECT_EQ(called.back().substr(0, 4), "off ");
}

bool gone(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	return paren == std::string::npos || stat.compare(paren, 4, ") Z ") == 0;
}

TEST_F(Daemon, HangingExecHeaterIsKilledAfterTenSeconds)
{
	run.put("relay", relay);
	run.put("hang", "");
	run.put("sensor", "60\n");
	run.start(files({"--heater", "exec:sh /tmp/relay"}), false);
	ASSERT_TRUE(wait_for([&] { return calls(run.get("calls"), "off") == 1; }, settle));
	auto began = Clock::now();
	pid_t shell = std::stoi(run.get("calls").substr(4));
	run.remove("hang");
	EXPECT_TRUE(wait_for([&] { return gone(shell); }, exec_kill_deadline));
	auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
	EXPECT_GE(took, 9s) << "killed before its time";
	RecordProperty("killed_after_ms", static_cast<int>(took.count()));
	EXPECT_TRUE(wait_for([&] {
		return has(run.err(), "cannot switch the heater OFF: the command did not answer in time\n");
	}, settle)) << context();
	// Tried again a period later; it answers now.
	EXPECT_TRUE(wait_for([&] { return calls(run.get("calls"), "off") == 2; }, settle)) << run.get("calls");
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
}

TEST_F(Daemon, SwitchOffDrivesAFileHeaterOffAndExits)
{
	run.put("heater", on);
	run.start({"--heater", "file:/tmp/heater", "--switch-off"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_EQ(run.get("heater"), off);
	EXPECT_EQ(run.get("temp"), "") << "--switch-off published a temperature";
	EXPECT_EQ(run.err(), "");
}

TEST_F(Daemon, SwitchOffRunsTheExecHeaterOnce)
{
	run.put("relay", relay);
	run.start({"--heater", "exec:sh /tmp/relay", "--switch-off"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	std::vector<std::string> called = lines(run.get("calls"));
	ASSERT_EQ(called.size(), 1u);
	EXPECT_TRUE(called[0].starts_with("off ")) << called[0];
}

TEST_F(Daemon, SwitchOffOfAMissingHeaterFileFailsInOneLineAndCreatesNothing)
{
	run.start({"--heater", "file:/tmp/heater", "--switch-off"}, false);
	int status = run.wait_exit(stop_deadline);
	EXPECT_GT(status, 0);
	EXPECT_NE(status, 2) << "not a usage error";
	EXPECT_EQ(lines(run.err()).size(), 1u) << run.err();
	EXPECT_TRUE(run.err().starts_with("ombrixd: ")) << run.err();
	EXPECT_TRUE(has(run.err(), "/tmp/heater")) << run.err();
	EXPECT_EQ(run.get("heater"), "");
}

TEST_F(Daemon, ConfigFileIsExpandedInPlaceSoLaterOptionsWin)
{
	run.put("zone.conf", "# a zone\n\nheater = file:/tmp/missing\n  switch-off\n");
	run.put("heater", on);
	run.start({"--config", "/tmp/zone.conf", "--heater", "file:/tmp/heater"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_EQ(run.get("heater"), off);
}

struct Usage {
	std::vector<std::string> args;
	const char *names;  // what the one line must name
};

void PrintTo(const Usage &u, std::ostream *os)
{
	print_args(u.args, os);
}

class BadOption : public Daemon, public ::testing::WithParamInterface<Usage> {};

TEST_P(BadOption, ExitsTwoWithOneLineNamingIt)
{
	run.put("bad.conf", "period=soon\n");
	run.put("heater", on);
	std::vector<std::string> args = {"--heater", "file:/tmp/heater"};
	args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
	run.start(args, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	std::vector<std::string> said = lines(run.err());
	ASSERT_EQ(said.size(), 1u) << run.err();
	EXPECT_TRUE(said[0].starts_with("ombrixd: ")) << said[0];
	EXPECT_TRUE(has(said[0], GetParam().names)) << said[0];
	EXPECT_EQ(run.out(), "");
	EXPECT_EQ(run.get("heater"), on) << "a bad command line drove the heater";
}

// The rest of the bad options are config_test.cpp's, in-process: here the
// exit status and the heater left alone, once for each way a value comes.
INSTANTIATE_TEST_SUITE_P(Options, BadOption,
	::testing::Values(Usage{{"--bogus"}, "--bogus"},
	                  Usage{{"--period", "abc"}, "--period"},
	                  Usage{{"--config", "/tmp/bad.conf"}, "--period"}));

// The service manager's socket, played by the test: readiness, status,
// the watchdog's pings at half its interval, and the stop.
class Notified : public Daemon {
protected:
	void SetUp() override
	{
		Daemon::SetUp();
		if (IsSkipped())
			return;
		fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		sockaddr_un a{};
		a.sun_family = AF_UNIX;
		(run.tmp() + "/notify").copy(a.sun_path, sizeof a.sun_path - 1);
		ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << a.sun_path;
		run.env("NOTIFY_SOCKET", "/tmp/notify");
	}
	void TearDown() override { close(fd); }

	// What has come since the last call, one message a line.
	std::string heard()
	{
		char buf[512];
		for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) >= 0;)
			all.append(buf, static_cast<size_t>(n)).append("\n");
		return all;
	}

	size_t count(const std::string &message)
	{
		size_t n = 0;
		for (const std::string &l : lines(heard()))
			n += l == message;
		return n;
	}

	int fd = -1;
	std::string all;
};

TEST_F(Notified, TellsTheServiceManagerItsLifeAndFeedsTheWatchdog)
{
	run.env("WATCHDOG_USEC", "2000000");
	start_on();
	EXPECT_TRUE(wait_for([&] { return has(heard(), "STATUS=mode=heat target=72.0 temp=60.00 command=ON heater=ON rule=-\n"); },
	                     settle)) << heard();
	EXPECT_TRUE(heard().starts_with("READY=1\n") || has(heard(), "\nREADY=1\n")) << heard();
	size_t pings = count("WATCHDOG=1");
	std::this_thread::sleep_for(3s);
	EXPECT_GE(count("WATCHDOG=1") - pings, 2u) << "a ping each half interval";
	EXPECT_LE(count("WATCHDOG=1") - pings, 4u) << "pings on wakeups it has anyway, not on a timer of their own";
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_TRUE(has(heard(), "STOPPING=1\n")) << heard();
}

TEST_F(Notified, AWatchdogOfAnotherProcessIsNotFed)
{
	run.env("WATCHDOG_USEC", "2000000");
	run.env("WATCHDOG_PID", "1");
	start_on();
	std::this_thread::sleep_for(2500ms);
	EXPECT_EQ(count("WATCHDOG=1"), 0u) << heard();
	EXPECT_TRUE(has(heard(), "READY=1\n")) << heard();
}

// Once OFF, the heater rests before it comes ON again, however soon the
// command asks; the first ON after the start does not wait.
TEST_F(Daemon, AfterAnOffTheHeaterRestsBeforeItComesOnAgain)
{
	constexpr auto rest = 4s;  // above settle: start_on() shows the start waits for nothing
	start_on({"--min-off", "4"});
	run.put("status", "OFF\n");
	ASSERT_TRUE(heater_is(off, settle)) << context();
	auto rest_ends = Clock::now() + rest;
	run.put("status", "ON\n");
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "command=ON heater=OFF rule=-\n"); }, settle))
		<< "resting is no fault\n" << context();
	while (Clock::now() < rest_ends - 1s) {
		ASSERT_EQ(run.get("heater"), off) << "ON before the rest was over\n" << context();
		std::this_thread::sleep_for(50ms);
	}
	EXPECT_TRUE(heater_is(on, 1s + settle)) << context();
	run.put("status", "OFF\n");
	EXPECT_TRUE(heater_is(off, settle)) << "an OFF never waits\n" << context();
}

// A setback kept in the state folder, a restart in a room the old band
// kept warm: the zone's own limit holds it until it has cooled, and no
// rule trips.
TEST_F(Daemon, ASetbackKeptOverARestartTripsNoRule)
{
	std::filesystem::create_directory(run.tmp() + "/state");
	DaemonRun board;
	board.share_tmp(run);
	board.start(files({"--state-dir", "/tmp/state", "--set-target", "52"}), false);
	ASSERT_EQ(board.wait_exit(stop_deadline), 0) << board.err();

	run.put("sensor", "74\n");
	run.put("heater", off);
	run.put("status", "OFF\n");  // as the controller says of 74 on a band of 49 to 55
	run.start(files({"--state-dir", "/tmp/state"}), false);
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "target=52.0 temp=74.00 command=OFF heater=OFF rule=-\n"); },
	                     settle)) << context();
	std::this_thread::sleep_for(2s);  // a few more readings
	EXPECT_FALSE(has(run.err(), "rule high-limit")) << context();
	EXPECT_TRUE(has(run.err(), "target 52.0 \u00b0F, set at run time")) << context();
	run.put("sensor", "80.5\n");  // above the zone's own limit too
	EXPECT_TRUE(wait_for([&] { return has(run.err(), "rule high-limit tripped: 80.50 is above 60; heater OFF\n"); },
	                     settle)) << context();
}

TEST_F(Daemon, HelpListsEveryOptionAndExitsZero)
{
	run.start({"--help"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0);
	EXPECT_EQ(run.err(), "");
	for (const char *o : {"--config", "--sensor", "--sensor-unit", "--sensor-field", "--unit", "--heater",
	                      "--heater-on", "--heater-off", "--heater-state", "--period", "--sensor-timeout",
	                      "--target", "--band", "--target-min", "--target-max", "--mode", "--state-dir",
	                      "--set-target", "--set-mode", "--min", "--max", "--high-limit", "--heat-check",
	                      "--heat-gain", "--max-on", "--min-off", "--lost-duty",
	                      "--temp-file", "--status-file", "--duration", "--switch-off", "--daemon",
	                      "--mqtt", "--mqtt-user", "--mqtt-password-file", "--mqtt-ca", "--zone",
	                      "--ha-prefix", "--help"})
		EXPECT_TRUE(has(run.out(), std::string(o) + " ")) << o << " is not in\n" << run.out();
}

} // namespace
