// The target and mode a hub sets, on a real broker with the real client:
// a target moves where the heater switches, off holds it OFF and says so,
// a retained command is never obeyed, and a bad one changes nothing.
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "daemon_run.h"
#include "mqtt_case.h"

namespace {

constexpr const char *target_set = "ombrix/attic/target/set";
constexpr const char *mode_set = "ombrix/attic/mode/set";

// Sensor readings are in °C; the zone shows °F.  15 °C is 59 °F: cold.
using MqttSetting = MqttDaemon;

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

} // namespace
