// The real ombrixd against the faults of a real home, each of which once
// kept a heater ON: no command in the status file, a dead controller, a
// temperature that cannot be published, a stuck log reader or heater, a
// broken configuration, a signal nobody expected.  Each case starts with the
// heater ON where it can, makes the fault, and bounds the time to OFF.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "blackbox.h"
#include "process.h"

namespace {

using namespace blackbox;
namespace fs = std::filesystem;

// The controller's cycle, twice, and a period and the library's read: a
// live controller has answered by then.
constexpr auto silent_deadline = 12s + 4s;

// ---- the status file holds no command

struct Status {
	const char *name;
	const char *text;  // nullptr: something else at the path
};

void PrintTo(const Status &s, std::ostream *os)
{
	*os << s.name;
}

class NoCommand : public Daemon, public ::testing::WithParamInterface<Status> {};

// Once read as "unknown, so ON"; now no command at all, and no heat.
TEST_P(NoCommand, KeepsTheHeaterOffUntilTheControllerWritesOne)
{
	const Status &st = GetParam();
	run.put("sensor", "60\n");
	run.put("heater", off);
	if (st.text)
		run.put("status", st.text);
	else if (std::string(st.name) == "fifo")
		ASSERT_EQ(mkfifo((run.tmp() + "/status").c_str(), 0666), 0);
	else
		fs::create_directory(run.tmp() + "/status");
	run.start(files(), false);
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "command=unknown heater=OFF rule=state-unknown\n"); },
	                     settle)) << context();
	EXPECT_EQ(run.get("heater"), off) << context();
	EXPECT_EQ(count(run.err(), "rule state-unknown tripped: the status file holds no command; heater OFF\n"), 1u)
		<< "logged once, though read each period\n" << context();
	if (!st.text)
		return;
	run.put("status", "ON\n");
	EXPECT_TRUE(heater_is(on, settle)) << context();
	EXPECT_TRUE(reports("rule state-unknown cleared\n")) << context();
}

INSTANTIATE_TEST_SUITE_P(Files, NoCommand,
	::testing::Values(Status{"empty", ""}, Status{"garbage", "garbage\n"}, Status{"lower_case", "off\n"},
	                  Status{"both", "ON OFF\n"}, Status{"cut_short", "O"}, Status{"fifo", nullptr},
	                  Status{"folder", nullptr}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(Daemon, AVanishedStatusFileIsNoCommandOnceItIsOld)
{
	start_on();
	run.remove("status");  // the library now retries for two minutes
	EXPECT_TRUE(heater_is(off, lost_deadline + 1s)) << context();
	EXPECT_TRUE(prints("rule=state-unknown\n")) << context();
	EXPECT_TRUE(reports("rule state-unknown tripped: no command read for 4 s; heater OFF\n")) << context();
}

// A read held up in the library (its retries, or a syslog that stops
// reading) leaves the last ON standing: it ages out within two periods,
// the read's wait and a late second, and a second of slack here, however
// long the sensor's timeout.
constexpr auto command_deadline = 2 * 1s + 1s + 1s + 1s;

TEST_F(Daemon, AReadHeldUpInTheLibraryIsNoCommandWithinAFewPeriods)
{
	start_on({"--sensor-timeout", "30"});
	run.remove("status");
	auto gone = Clock::now();
	EXPECT_TRUE(heater_is(off, command_deadline)) << context();
	RecordProperty("off_after_ms", static_cast<int>(
		std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone).count()));
	EXPECT_TRUE(prints("command=ON heater=OFF rule=state-unknown\n")) << context();
	EXPECT_TRUE(reports("rule state-unknown tripped: no command read for 4 s; heater OFF\n")) << context();
}

// ---- the controller dies, or cannot be told

TEST_F(Daemon, ADeadControllersOnIsNotObeyedAboveItsOffThreshold)
{
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.start(files());
	ASSERT_TRUE(heater_is(on, client_deadline)) << context() << run.client_err();
	run.signal_client(SIGKILL);
	run.put("sensor", "78\n");  // above 75, below the high limit
	auto warm = Clock::now();
	EXPECT_TRUE(heater_is(off, silent_deadline)) << context();
	RecordProperty("off_after_ms", static_cast<int>(
		std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - warm).count()));
	EXPECT_TRUE(prints("command=ON heater=OFF rule=controller-silent\n")) << context();
	EXPECT_TRUE(reports("rule controller-silent tripped: the command is still ON 12 s after the "
	                    "controller was told 78.00; heater OFF until it follows\n")) << context();
	run.put("status", "OFF\n");  // as a controller back at work would
	EXPECT_TRUE(wait_for([&] { return has(run.err(), "rule controller-silent cleared\n"); }, settle))
		<< context();
}

TEST_F(Daemon, TheHighLimitHoldsWhateverTheCommand)
{
	run.put("sensor", "85\n");
	run.put("heater", off);
	run.put("status", "ON\n");
	run.start(files(), false);
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "temp=85.00 command=ON heater=OFF rule=high-limit\n"); },
	                     settle)) << context();
	EXPECT_EQ(run.get("heater"), off);
	EXPECT_TRUE(reports("rule high-limit tripped: 85.00 is above 80; heater OFF\n")) << context();
	run.put("sensor", "79.5\n");  // not yet a degree below
	std::this_thread::sleep_for(2s);
	EXPECT_EQ(run.get("heater"), off) << context();
	run.put("sensor", "70\n");
	EXPECT_TRUE(heater_is(on, settle)) << context();
}

// A second name for /tmp/temp makes every write fail (EMLINK): the
// controller decides on a frozen temperature.
void freeze_temp(const DaemonRun &run)
{
	fs::create_hard_link(run.tmp() + "/temp", run.tmp() + "/temp.frozen");
}

TEST_F(Daemon, ATemperatureThatCannotBePublishedSwitchesOff)
{
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.start(files());
	ASSERT_TRUE(heater_is(on, client_deadline)) << context() << run.client_err();
	freeze_temp(run);
	auto frozen = Clock::now();
	EXPECT_TRUE(heater_is(off, lost_deadline)) << context();
	RecordProperty("off_after_ms", static_cast<int>(
		std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - frozen).count()));
	EXPECT_TRUE(prints("rule=publish-failed\n")) << context();
	std::this_thread::sleep_for(2s);  // a few more failed writes
	EXPECT_EQ(count(run.err(), "rule publish-failed tripped: no temperature published for 3 s; heater OFF\n"), 1u)
		<< context();
}

// The write's retries take a minute; the command read must not wait them out.
TEST_F(Daemon, AnOffIsObeyedWhilePublishingIsStuckInItsRetries)
{
	start_on({"--sensor-timeout", "30"});
	freeze_temp(run);
	std::this_thread::sleep_for(1500ms);  // the publisher is into its retries
	run.put("status", "OFF\n");
	EXPECT_TRUE(heater_is(off, settle)) << context();
}

// ---- nothing the supervisor writes to may hold it up

struct Stuck {
	const char *name;
	DaemonRun::Stall stall;
};

void PrintTo(const Stuck &s, std::ostream *os)
{
	*os << s.name;
}

class StuckOutput : public Daemon, public ::testing::WithParamInterface<Stuck> {};

TEST_P(StuckOutput, NeitherKeepsTheHeaterOnNorHoldsUpTheStop)
{
	run.stall(GetParam().stall);
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.put("status", "ON\n");
	run.start(files(), false);
	if (GetParam().stall != DaemonRun::Stall::syslog) {
		ASSERT_TRUE(heater_is(on, settle)) << run.err();
		run.remove("sensor");
		EXPECT_TRUE(heater_is(off, lost_deadline)) << "the rules waited for the output";
	} else {
		// The library's own reports go to syslog too: no command is read,
		// and the heater never comes ON.
		std::this_thread::sleep_for(2s);
		EXPECT_EQ(run.get("heater"), off);
	}
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << "the stop waited for the output";
	EXPECT_EQ(run.get("heater"), off);
}

INSTANTIATE_TEST_SUITE_P(Outputs, StuckOutput,
	::testing::Values(Stuck{"stdout", DaemonRun::Stall::output}, Stuck{"stderr", DaemonRun::Stall::errors},
	                  Stuck{"syslog", DaemonRun::Stall::syslog}),
	[](const auto &info) { return std::string(info.param.name); });

// An exec: relay whose ON hangs and whose OFF answers at once.
const char slow_relay[] =
	"echo \"$1\" >>/tmp/calls\n"
	"[ \"$1\" = on ] && exec sleep 60\n"
	"exit 0\n";

TEST_F(Daemon, AHangingHeaterOnDelaysNeitherSensorLostNorTheStop)
{
	run.put("relay", slow_relay);
	run.put("sensor", "60\n");
	run.put("status", "ON\n");
	run.start(files({"--heater", "exec:sh /tmp/relay"}), false);
	ASSERT_TRUE(wait_for([&] { return has(run.get("calls"), "off\non\n"); }, settle)) << run.get("calls");
	auto hung = Clock::now();
	run.remove("sensor");
	EXPECT_TRUE(wait_for([&] { return has(run.get("calls"), "on\noff\n"); }, lost_deadline))
		<< run.get("calls") << context();
	RecordProperty("off_after_ms", static_cast<int>(
		std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - hung).count()));

	run.put("sensor", "60\n");
	ASSERT_TRUE(wait_for([&] { return has(run.get("calls"), "on\noff\non\n"); }, settle)) << run.get("calls");
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_TRUE(run.get("calls").ends_with("on\noff\n")) << run.get("calls");
}

// ---- --switch-off, whatever else the zone's file got wrong

struct Broken {
	const char *name;
	std::string conf;   // the zone's file; its heater is /tmp/heater
	const char *names;  // what the error line names
};

void PrintTo(const Broken &b, std::ostream *os)
{
	*os << b.name;
}

class BrokenConfig : public Daemon, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenConfig, StillSwitchesTheHeaterOffAndSaysWhatIsWrong)
{
	run.put("zone.conf", GetParam().conf);
	run.put("heater", on);
	run.start({"--switch-off", "--config=/tmp/zone.conf"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	EXPECT_EQ(run.get("heater"), off) << context();
	EXPECT_TRUE(has(run.err(), GetParam().names)) << context();
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenConfig,
	::testing::Values(
		Broken{"misspelt", "perod=5\nheater=file:/tmp/heater\n", "\"perod\""},
		Broken{"zero_period", "heater=file:/tmp/heater\nperiod=0\n", "--period"},
		Broken{"min_above_max", "heater=file:/tmp/heater\nmin=130\n", "--max"},
		Broken{"abbreviated", "switch\nheater=file:/tmp/heater\n", "\"switch\""},
		// Its value comes from its own line, never the next one's.
		Broken{"value_less", "status-file\nheater=file:/tmp/heater\n", "--status-file: needs a value"},
		Broken{"long_line", "# " + std::string(2000, 'x') + "\nheater=file:/tmp/heater\n", "a line longer than"},
		// Options this heater does not use.
		Broken{"bad_zone", "heater=file:/tmp/heater\nzone=my zone\n", "--zone: use letters"},
		Broken{"bad_broker", "heater=file:/tmp/heater\nmqtt=http://broker\n", "--mqtt: not mqtt://"},
		Broken{"ca_without_tls", "heater=file:/tmp/heater\nmqtt-ca=/tmp/ca.crt\n", "--mqtt-ca: needs"}),
	[](const auto &info) { return std::string(info.param.name); });

TEST_F(Daemon, ALineIsNeverTheValueOfTheLineBefore)
{
	run.put("zone.conf", "status-file\nheater=file:/tmp/heater\n");
	run.put("heater", off);
	run.start({"--config", "/tmp/zone.conf"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	EXPECT_EQ(lines(run.err()).size(), 1u) << run.err();
	EXPECT_TRUE(has(run.err(), "ombrixd: /tmp/zone.conf:1: --status-file: needs a value\n")) << run.err();
}

TEST_F(Daemon, SwitchOffOfAnUnnamedHeaterFails)
{
	run.put("zone.conf", "heater=relay\n");
	run.start({"--switch-off", "--config", "/tmp/zone.conf"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	EXPECT_TRUE(has(run.err(), "--heater: not sim or KIND:ARGUMENT")) << run.err();
}

// ---- bad input at start: a clear error, at once

TEST_F(Daemon, FifosAsConfigOrHeaterFailTheStartAtOnce)
{
	ASSERT_EQ(mkfifo((run.tmp() + "/zone.conf").c_str(), 0666), 0);
	ASSERT_EQ(mkfifo((run.tmp() + "/heater").c_str(), 0666), 0);
	DaemonRun as_heater;
	ASSERT_EQ(mkfifo((as_heater.tmp() + "/heater").c_str(), 0666), 0);
	run.start({"--config", "/tmp/zone.conf"}, false);
	as_heater.start({"--heater", "file:/tmp/heater"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	EXPECT_TRUE(has(run.err(), "--config: not a regular file: \"/tmp/zone.conf\"")) << run.err();
	EXPECT_EQ(as_heater.wait_exit(stop_deadline), 1) << as_heater.err();
	EXPECT_TRUE(has(as_heater.err(), "heater /tmp/heater: not a regular file")) << as_heater.err();
}

constexpr char no_subreaper[] = "no child subreaper here (qemu-user): a daemon in the background "
                                "would escape the run";

TEST_F(Daemon, InTheBackgroundAFailedStartIsReportedBeforeTheParentLeaves)
{
	if (!DaemonRun::can_adopt())
		GTEST_SKIP() << no_subreaper;
	run.daemonizes();
	run.start({"--daemon", "--heater", "file:/tmp/missing"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 1) << context();
	EXPECT_TRUE(has(run.err(), "ombrixd: heater /tmp/missing: No such file or directory\n")) << run.err();
}

// Relative paths keep their meaning in the background: from the folder it
// started in, the build's, the private /tmp is a folder below.
TEST_F(Daemon, InTheBackgroundRelativePathsStillReachTheirFiles)
{
	if (!DaemonRun::can_adopt())
		GTEST_SKIP() << no_subreaper;
	std::string rel = fs::path(run.tmp()).lexically_relative(BUILD_ROOT).string();
	run.put("sensor", "60\n");
	run.put("heater", off);
	run.put("status", "ON\n");
	run.daemonizes();
	run.start({"--daemon", "--sensor", "file:" + rel + "/sensor", "--sensor-unit", "F", "--heater",
	           "file:" + rel + "/heater", "--status-file", rel + "/status", "--temp-file", rel + "/temp",
	           "--period", "1", "--sensor-timeout", "3"},
	          false);
	EXPECT_TRUE(heater_is(on, settle)) << context();
	EXPECT_EQ(run.get("temp"), "60.000000\n");
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0);
	EXPECT_EQ(run.get("heater"), off);
}

// ---- every end switches the heater OFF

struct Ending {
	int sig;
	bool background;
};

void PrintTo(const Ending &e, std::ostream *os)
{
	*os << (e.sig == SIGRTMIN ? "RTMIN" : e.sig == SIGRTMAX ? "RTMAX" : sigabbrev_np(e.sig))
	    << (e.background ? "_daemon" : "");
}

class EndingSignal : public Daemon, public ::testing::WithParamInterface<Ending> {};

// The process still ends as the signal says, after the heater is OFF.
TEST_P(EndingSignal, SwitchesTheHeaterOffFirst)
{
	const Ending &e = GetParam();
	// qemu-user keeps a host real-time signal for itself, so the guest's
	// last one has no host signal to travel as.
	if (emulated && e.sig == SIGRTMAX)
		GTEST_SKIP() << "qemu-user cannot deliver SIGRTMAX to its guest";
	if (e.background && !DaemonRun::can_adopt())
		GTEST_SKIP() << no_subreaper;
	if (e.background)
		run.daemonizes();
	start_on(e.background ? std::vector<std::string>{"--daemon"} : std::vector<std::string>{});
	run.signal(e.sig);
	EXPECT_EQ(run.wait_exit(stop_deadline), 128 + e.sig) << context();
	EXPECT_EQ(run.get("heater"), off) << context();
	if (!e.background) {
		EXPECT_TRUE(has(run.err(), "ombrixd: Received ")) << context();
	}
}

// Every signal that ends a process by default, but SIGUSR1: systemctl
// reload sends it, and it reads the kept settings again.
std::vector<Ending> endings()
{
	std::vector<Ending> v;
	for (bool background : {false, true})
		for (int sig : {SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR,
		                SIGSTKFLT, SIGRTMIN, SIGRTMAX})
			v.push_back({sig, background});
	return v;
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, ::testing::ValuesIn(endings()),
	[](const auto &info) {
		std::ostringstream name;
		PrintTo(info.param, &name);
		return name.str();
	});

} // namespace
