// The target and mode a hub sets, on a real broker with the real client:
// a target moves where the heater switches, off holds it OFF and says so,
// a retained command is never obeyed, and a bad one changes nothing.  What
// is kept: a flood is saved once it settles and a stop loses none of it,
// the board's own setting stays, and the hub sees what is kept, also when
// nothing can be.
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "daemon_run.h"
#include "mqtt_case.h"

namespace {

constexpr const char *target_set = "ombrix/attic/target/set";
constexpr const char *mode_set = "ombrix/attic/mode/set";

// Sensor readings are in °C; the zone shows °F.  15 °C is 59 °F: cold.
class MqttSetting : public MqttDaemon {
protected:
	std::string start_kept(DaemonRun &run);
};

bool holds(const std::string &file, const std::string &line)
{
	return read_file(file).find(line) != std::string::npos;
}

// Targets to the hub's set topic at rate a second for seconds, through
// one mosquitto_pub, then last; how long that took.
std::chrono::duration<double> flood(int port, int rate, double seconds, const char *last)
{
	std::string cmd = "/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -q 0 -t " + target_set + " -l";
	auto start = std::chrono::steady_clock::now();
	FILE *pub = popen(cmd.c_str(), "w");
	if (!pub)
		return {};
	constexpr int per_tick = 10;
	auto tick = std::chrono::microseconds(1000000 * per_tick / rate);
	for (int i = 0; i < static_cast<int>(rate * seconds); i += per_tick) {
		for (int j = 0; j < per_tick; j++)
			std::fprintf(pub, "%.1f\n", 60.0 + (i + j) % 100 / 10.0);  // 60.0 to 69.9
		std::fflush(pub);
		std::this_thread::sleep_until(start + tick * (i / per_tick + 1));
	}
	std::fprintf(pub, "%s\n", last);
	pclose(pub);
	return std::chrono::steady_clock::now() - start;
}

// How many times path was replaced while it is watched: each rename gives
// it a new inode.
class RenameCounter {
public:
	explicit RenameCounter(std::string path) : path_(std::move(path)), thread_([this] { watch(); }) {}
	~RenameCounter()
	{
		stop_ = true;
		thread_.join();
	}
	RenameCounter(const RenameCounter &) = delete;
	RenameCounter &operator=(const RenameCounter &) = delete;
	size_t renames() const { return renames_; }

private:
	void watch()
	{
		ino_t last = 0;
		for (; !stop_; std::this_thread::sleep_for(std::chrono::microseconds(500))) {
			struct stat st;
			if (stat(path_.c_str(), &st) == 0 && st.st_ino != last) {
				renames_ += last != 0;
				last = st.st_ino;
			}
		}
	}
	std::string path_;
	std::atomic<bool> stop_{false};
	std::atomic<size_t> renames_{0};
	std::thread thread_;
};

// path read-only for this test and what it starts, as a read-only disk is:
// a bind mount in a mount namespace of the test's own, undone at the end.
// The daemon reaches it outside its private /tmp, by the test's own path.
class ReadOnly {
public:
	explicit ReadOnly(std::string path) : path_(std::move(path))
	{
		ok_ = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
		      mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
		      mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
	}
	~ReadOnly() { umount2(path_.c_str(), MNT_DETACH); }
	ReadOnly(const ReadOnly &) = delete;
	ReadOnly &operator=(const ReadOnly &) = delete;
	bool ok() const { return ok_; }

private:
	std::string path_;
	bool ok_ = false;
};

TEST_F(MqttSetting, ATargetFromTheHubMovesWhereTheHeaterSwitchesAndIsKept)
{
	start_broker();
	DaemonRun run;
	std::string state = run.tmp() + "/state";  // the daemon's /tmp/state
	std::filesystem::create_directory(state);
	drive_on(run, {"--state-dir", "/tmp/state"}, "15");
	ASSERT_TRUE(retained_is("ombrix/attic/target", "72.0", 2s)) << run.err();
	feeder_->set("21");  // 69.8 °F: inside 69 to 75, so still ON
	ASSERT_TRUE(retained_is("ombrix/attic/temperature", "69.80", 3s)) << run.err();
	EXPECT_TRUE(retained_is("ombrix/attic/action", "heating", 2s));
	ASSERT_TRUE(mqtt_publish(port_, target_set, "64", false));  // 61 to 67: too warm now
	EXPECT_TRUE(plug_got("OFF", switch_deadline)) << run.err() << sub_->lines();
	EXPECT_TRUE(retained_is("ombrix/attic/target", "64.0", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/action", "idle", 2s));
	EXPECT_EQ(run.get("temp"), "77.800003\n") << "69.8 on the band around 64";
	EXPECT_NE(run.out().find("mode=heat target=64.0 temp=69.80"), std::string::npos) << run.out();
	EXPECT_NE(read_file(state + "/setpoint").find("target=64\n"), std::string::npos) << read_file(state + "/setpoint");
}

TEST_F(MqttSetting, OffHoldsTheHeaterOffAndIsShownAsNoFault)
{
	start_broker();
	DaemonRun run;
	drive_on(run, {}, "15");
	ASSERT_TRUE(mqtt_publish(port_, mode_set, "off", false));
	EXPECT_TRUE(plug_got("OFF", 3s)) << run.err() << sub_->lines();
	EXPECT_TRUE(retained_is("ombrix/attic/mode", "off", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/action", "off", 2s));
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/fault"), std::nullopt) << "off is no fault";
	EXPECT_NE(run.out().find("mode=off target=72.0 temp=59.00 command=ON heater=OFF rule=-"), std::string::npos)
		<< run.out();
	ASSERT_TRUE(mqtt_publish(port_, mode_set, "heat", false));
	EXPECT_TRUE(plug_got("ON", 3s)) << run.err() << sub_->lines();
}

TEST_F(MqttSetting, ARetainedCommandIsNeverObeyed)
{
	start_broker();
	ASSERT_TRUE(mqtt_publish(port_, target_set, "60", true));
	ASSERT_TRUE(mqtt_publish(port_, mode_set, "off", true));
	DaemonRun run;
	run.start(args({}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/target", "72.0", online_deadline)) << run.err();
	std::this_thread::sleep_for(1s);
	EXPECT_TRUE(retained_is("ombrix/attic/target", "72.0", 0ms));
	EXPECT_TRUE(retained_is("ombrix/attic/mode", "heat", 0ms));
	// A live one of the same is obeyed.
	ASSERT_TRUE(mqtt_publish(port_, target_set, "60", false));
	EXPECT_TRUE(retained_is("ombrix/attic/target", "60.0", 2s)) << run.err();
}

TEST_F(MqttSetting, BadCommandsAreRefusedInOneLineEachAndChangeNothing)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--high-limit", "80"}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/target", "72.0", online_deadline)) << run.err();
	const char *targets[] = {"hot", "", "21 22", "nan", "44.9", "86.1", "78", "{\"temperature\":70}"};
	for (const char *t : targets)
		ASSERT_TRUE(mqtt_publish(port_, target_set, t, false));
	// The last would forge a line of the daemon's own, were it echoed as sent.
	const char *modes[] = {"cool", "HEAT", "", "auto", "off\nombrixd: HEATER IS ON"};
	for (const char *m : modes)
		ASSERT_TRUE(mqtt_publish(port_, mode_set, m, false));
	size_t want = std::size(targets) + std::size(modes);
	EXPECT_TRUE(wait_for([&] { return count(run.err(), "refused") == want; }, 3s)) << run.err();
	std::this_thread::sleep_for(500ms);
	EXPECT_EQ(count(run.err(), "refused"), want) << run.err();
	EXPECT_EQ(run.err().find("\nombrixd: HEATER IS ON"), std::string::npos) << run.err();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/target"), "72.0");
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/mode"), "heat");
	EXPECT_EQ(run.out().find("target=7"), run.out().find("target=72.0")) << run.out();
}

TEST_F(MqttSetting, DescribesTheThermostatAsAClimateEntity)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--unit", "C", "--ha-prefix", "hub"}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	std::optional<std::string> text = mqtt_retained(port_, "hub/climate/ombrix_attic/thermostat/config");
	ASSERT_TRUE(text);
	nlohmann::json c = nlohmann::json::parse(*text, nullptr, false);
	ASSERT_TRUE(c.is_object()) << *text;
	EXPECT_EQ(c.value("unique_id", ""), "ombrix_attic_thermostat");
	EXPECT_EQ(c.value("current_temperature_topic", ""), "ombrix/attic/temperature");
	EXPECT_EQ(c.value("temperature_command_topic", ""), target_set);
	EXPECT_EQ(c.value("temperature_state_topic", ""), "ombrix/attic/target");
	EXPECT_EQ(c.value("mode_command_topic", ""), mode_set);
	EXPECT_EQ(c.value("mode_state_topic", ""), "ombrix/attic/mode");
	EXPECT_EQ(c.value("action_topic", ""), "ombrix/attic/action");
	EXPECT_EQ(c["modes"], nlohmann::json({"off", "heat"}));
	EXPECT_EQ(c.value("min_temp", 0.0), 7);
	EXPECT_EQ(c.value("max_temp", 0.0), 30);
	EXPECT_EQ(c.value("temp_step", 0.0), 0.5);
	EXPECT_EQ(c.value("temperature_unit", ""), "C");
	EXPECT_EQ(c.value("availability_topic", ""), "ombrix/attic/availability");
	EXPECT_EQ(c["device"]["identifiers"], nlohmann::json({"ombrix_attic"})) << "the zone's one device";
	EXPECT_TRUE(retained_is("ombrix/attic/target", "22.2", 1s));
	EXPECT_TRUE(mqtt_retained(port_, "hub/sensor/ombrix_attic/temperature/config")) << "the others stay";
}

// A broker, and the zone on it with its state folder in its /tmp, online:
// the folder's path as the test sees it.
std::string MqttSetting::start_kept(DaemonRun &run)
{
	start_broker();
	std::string state = run.tmp() + "/state";
	std::filesystem::create_directory(state);
	run.start(args({"--state-dir", "/tmp/state"}), false);
	EXPECT_TRUE(retained_is("ombrix/attic/target", "72.0", online_deadline)) << run.err();
	return state;
}

// A hub that sends a thousand targets a second: each applies at once, the
// file is replaced no more than once every 2 s, and the last is kept
// within 2 s of the end.
TEST_F(MqttSetting, AFloodIsSavedOnceItSettlesAndTheLastIsKept)
{
	DaemonRun run;
	std::string state = start_kept(run);
	RenameCounter counter(state + "/setpoint");
	double took = flood(port_, 1000, 3, "71.5").count();
	EXPECT_TRUE(wait_for([&] { return run.out().find("target=71.5") != std::string::npos; }, 1s))
		<< "applied at once";
	EXPECT_TRUE(wait_for([&] { return holds(state + "/setpoint", "target=71.5\n"); }, 3s))
		<< read_file(state + "/setpoint");
	EXPECT_TRUE(retained_is("ombrix/attic/target", "71.5", 1s)) << run.err();
	std::this_thread::sleep_for(500ms);
	EXPECT_GE(counter.renames(), 1u);
	EXPECT_LE(counter.renames(), static_cast<size_t>(std::floor(took / 2)) + 2) << "in " << took << " s";
	EXPECT_EQ(count(run.err(), "cannot keep"), 0u) << run.err();
}

// A value that waits for the mark when SIGTERM comes is kept on the way
// out.
TEST_F(MqttSetting, AStopKeepsTheLastValueTaken)
{
	DaemonRun run;
	std::string state = start_kept(run);
	ASSERT_TRUE(mqtt_publish(port_, target_set, "70", false));
	ASSERT_TRUE(wait_for([&] { return holds(state + "/setpoint", "target=70\n"); }, 2s)) << run.err();
	ASSERT_TRUE(mqtt_publish(port_, target_set, "66.5", false));
	ASSERT_TRUE(wait_for([&] { return run.out().find("target=66.5") != std::string::npos; }, 1s)) << run.out();
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << run.err();
	EXPECT_TRUE(holds(state + "/setpoint", "target=66.5\n")) << read_file(state + "/setpoint");
}

// The board keeps a target, and before the reload the hub sets the mode:
// the file holds both, for the reload and for the next start.
TEST_F(MqttSetting, TheHubsSaveKeepsWhatTheBoardSetMeanwhile)
{
	DaemonRun run;
	std::string state = start_kept(run);
	DaemonRun board;
	board.share_tmp(run);
	board.start(args({"--state-dir", "/tmp/state", "--set-target", "64"}), false);
	ASSERT_EQ(board.wait_exit(stop_deadline), 0) << board.err();
	ASSERT_TRUE(mqtt_publish(port_, mode_set, "off", false));
	EXPECT_TRUE(retained_is("ombrix/attic/mode", "off", 2s)) << run.err();
	EXPECT_TRUE(holds(state + "/setpoint", "mode=off\n")) << read_file(state + "/setpoint");
	EXPECT_TRUE(holds(state + "/setpoint", "target=64\n")) << read_file(state + "/setpoint");
	run.signal(SIGUSR1);
	EXPECT_TRUE(wait_for([&] { return run.out().find("mode=off target=64.0") != std::string::npos; }, 2s))
		<< run.out();
}

// A state folder that cannot be written: what the hub sets applies, but the
// hub is shown what is kept, the failure is said once, and the reload that
// goes back to the file says so.
TEST_F(MqttSetting, WhatCannotBeKeptIsSaidOnceAndNotShownAsKept)
{
	DaemonRun run;
	std::string state = run.tmp() + "/state";  // the daemon's /tmp/state
	std::filesystem::create_directory(state);
	std::FILE *f = std::fopen((state + "/setpoint").c_str(), "w");
	ASSERT_TRUE(f);
	std::fputs("unit=F\ntarget=66\n", f);
	std::fclose(f);
	ReadOnly ro(state);
	if (!ro.ok())
		GTEST_SKIP() << "no read-only bind mount here: run as root";
	start_broker();
	run.start(args({"--state-dir", "/tmp/state"}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/target", "66.0", online_deadline)) << run.err();
	for (const char *t : {"64", "63", "62.5", "62", "61"}) {
		ASSERT_TRUE(mqtt_publish(port_, target_set, t, false));
		std::this_thread::sleep_for(100ms);
	}
	ASSERT_TRUE(wait_for([&] { return run.out().find("target=61.0") != std::string::npos; }, 2s)) << "it applies";
	ASSERT_TRUE(wait_for([&] { return count(run.err(), "cannot keep the setting") == 1; }, 3s)) << run.err();
	ASSERT_TRUE(mqtt_publish(port_, target_set, "60", false));
	std::this_thread::sleep_for(2500ms);  // past the mark: the last is tried too
	EXPECT_EQ(count(run.err(), "cannot keep the setting"), 1u) << run.err();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/target"), "66.0") << "the hub is shown what is kept";
	run.signal(SIGUSR1);
	EXPECT_TRUE(wait_for([&] { return count(run.err(), "could not be kept") == 1; }, 2s)) << run.err();
	EXPECT_TRUE(wait_for([&] { return run.out().find("target=66.0") != run.out().rfind("target=66.0"); }, 2s))
		<< run.out();
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << run.err();
}

} // namespace

namespace {

// The hub's card goes as high as the zone accepts, and no higher: with a
// high limit, that is below where the band's top would reach it.
TEST_F(MqttSetting, TheCardsHighestTargetIsTheZonesLargest)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--unit", "C", "--ha-prefix", "hub", "--high-limit", "26"}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	std::optional<std::string> text = mqtt_retained(port_, "hub/climate/ombrix_attic/thermostat/config");
	ASSERT_TRUE(text);
	nlohmann::json c = nlohmann::json::parse(*text, nullptr, false);
	ASSERT_TRUE(c.is_object()) << *text;
	EXPECT_DOUBLE_EQ(c.value("max_temp", 0.0), 24.3) << *text;
	ASSERT_TRUE(mqtt_publish(port_, target_set, "24.4", false));
	ASSERT_TRUE(mqtt_publish(port_, target_set, "24.3", false));
	EXPECT_TRUE(retained_is("ombrix/attic/target", "24.3", 2s)) << run.err();
	EXPECT_EQ(count(run.err(), "target 24.4 from the hub refused"), 1u) << run.err();
}

} // namespace
