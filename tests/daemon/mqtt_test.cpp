// ombrixd on an MQTT broker.  The payload parsers on what real devices
// send; then the real daemon and the real client in a private /tmp against
// a real mosquitto on loopback, with mosquitto_pub and mosquitto_sub as the
// sensor, the plug and the home-automation hub.
#include <algorithm>
#include <csignal>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bus/bus.h"
#include "isolate.h"
#include "mqtt_case.h"

namespace {

// --- payloads -------------------------------------------------------------

float reading(const char *payload, const char *field)
{
	float v = -1000;
	const char *why = nullptr;
	EXPECT_TRUE(parse_sensor_payload(payload, field, &v, &why)) << payload << ": " << why;
	return v;
}

const char *bad_reading(const char *payload, const char *field)
{
	float v;
	const char *why = nullptr;
	EXPECT_FALSE(parse_sensor_payload(payload, field, &v, &why)) << payload << " gave " << v;
	return why ? why : "";
}

TEST(MqttPayload, ReadsPlainNumbersAndTheCommonJsonShapes)
{
	EXPECT_FLOAT_EQ(reading("21.5", ""), 21.5f);
	EXPECT_FLOAT_EQ(reading(" -3.25\n", ""), -3.25f);
	EXPECT_FLOAT_EQ(reading(R"({"battery":97,"humidity":41.2,"linkquality":120,"temperature":19.87})",
	                        "temperature"), 19.87f);
	EXPECT_FLOAT_EQ(reading(R"({"Time":"2024-01-05T10:00:00","DS18B20":{"Id":"0316A279C1FF",)"
	                        R"("Temperature":21.4},"TempUnit":"C"})", "DS18B20.Temperature"), 21.4f);
	EXPECT_FLOAT_EQ(reading(R"({"temperature":20})", "temperature"), 20.0f);
}

// Each refusal says why, in words that tell a person what to fix: the
// payload, or the --sensor-field.
TEST(MqttPayload, RefusesWhatHoldsNoReading)
{
	constexpr const char *no_number = "no number";
	constexpr const char *more = "more than a number";
	constexpr const char *no_object = "the mqtt payload is not a JSON object";
	constexpr const char *no_field = "the JSON payload lacks the --sensor-field";
	constexpr const char *not_number = "the --sensor-field is not a number";
	constexpr const char *out_of_range = "the --sensor-field is out of range";
	struct Case {
		const char *payload;
		const char *field;
		const char *why;
	};
	const Case cases[] = {
		{"ON", "", no_number},
		{"", "", no_number},
		// A number somewhere in a text is no reading: "3" is not 3 °C.
		{"sensor 3 offline", "", no_number},
		{"21.5 C", "", more},
		{"temp=21.5", "", no_number},
		{R"({"temperature":21.5})", "", no_number},  // which field?
		// With a field, only that field of a JSON object.
		{"sensor 3 offline", "temperature", no_object},
		{"21.5", "temperature", no_object},
		{"\xEF\xBB\xBF{\"linkquality\":120,\"temperature\":21.5}", "temperature", no_object},  // a byte-order mark first
		{R"(temp {"temperature":21.5})", "temperature", no_object},
		{R"({"temperature":21.5} 22)", "temperature", no_object},
		{R"([{"temperature":21.5}])", "temperature", no_object},
		{R"({"temperature":21.5)", "temperature", no_object},              // cut short
		{R"({"humidity":40})", "temperature", no_field},                  // no such field
		{R"({"temperature":null})", "temperature", not_number},           // a sensor's "no value"
		{R"({"temperature":"21.5"})", "temperature", not_number},         // a text
		{R"({"temperature":21.5})", "temperature.value", no_field},
		{R"({"DS18B20":{"Temperature":21.5}})", "Temperature", no_field},  // not at the top
		{R"({"temperature":1e300})", "temperature", out_of_range},        // no float holds it
	};
	for (const Case &c : cases)
		EXPECT_STREQ(bad_reading(c.payload, c.field), c.why) << c.payload << " with field \"" << c.field << '"';
}

TEST(MqttPayload, ReadsWhatAPlugSaysOfItself)
{
	const std::string on = "ON", off = "OFF";
	bool is_on = false;
	EXPECT_TRUE(parse_heater_report("ON", on, off, &is_on) && is_on);
	EXPECT_TRUE(parse_heater_report("off\n", on, off, &is_on) && !is_on);  // any case
	EXPECT_TRUE(parse_heater_report(R"({"state":"ON","power":1200})", on, off, &is_on) && is_on);
	EXPECT_TRUE(parse_heater_report(R"({"Time":"2024-01-05T10:00:00","POWER":"OFF"})", on, off, &is_on) &&
	            !is_on);
	EXPECT_TRUE(parse_heater_report("1", "1", "0", &is_on) && is_on);  // the plug's own words
	EXPECT_TRUE(parse_heater_report("0", "1", "0", &is_on) && !is_on);
	for (const char *noise : {"", "TOGGLE", "ONLINE", R"({"power":1200})", R"({"state":)", "[\"ON\"]"})
		EXPECT_FALSE(parse_heater_report(noise, on, off, &is_on)) << noise;
}

// Two daemons of one zone settle on one, whoever hears whom first.
TEST(MqttClaim, OneThatHoldsTheZoneOutranksOneThatAsks)
{
	const std::string me = "ombrixd-attic-b";
	// Holding the zone: a claim is answered, whatever its id.
	EXPECT_EQ(claim_seen(Role::holding, me, "claim ombrixd-attic-a", false), Claim::answer);
	EXPECT_EQ(claim_seen(Role::holding, me, "claim ombrixd-attic-c", false), Claim::answer);
	// Asking: any holder wins.
	EXPECT_EQ(claim_seen(Role::asking, me, "held ombrixd-attic-a", false), Claim::yield);
	EXPECT_EQ(claim_seen(Role::asking, me, "held ombrixd-attic-c", false), Claim::yield);
}

TEST(MqttClaim, BetweenTwoAlikeTheSmallerIdWins)
{
	const std::string me = "ombrixd-attic-b";
	EXPECT_EQ(claim_seen(Role::asking, me, "claim ombrixd-attic-a", false), Claim::yield);
	EXPECT_EQ(claim_seen(Role::asking, me, "claim ombrixd-attic-c", false), Claim::answer);  // so that c hears of b
	EXPECT_EQ(claim_seen(Role::holding, me, "held ombrixd-attic-a", false), Claim::yield);
	EXPECT_EQ(claim_seen(Role::holding, me, "held ombrixd-attic-c", false), Claim::answer);
	// The winner of each pair is the same seen from either side.
	EXPECT_EQ(claim_seen(Role::asking, "ombrixd-attic-a", "claim ombrixd-attic-b", false), Claim::answer);
}

TEST(MqttClaim, IgnoresItsOwnAndWhatIsNoClaim)
{
	const std::string me = "ombrixd-attic-b";
	for (Role role : {Role::asking, Role::holding, Role::watching})
		for (const char *text : {"claim ombrixd-attic-b", "held ombrixd-attic-b", "claim ", "held ", "",
		                         "claimombrixd-attic-a", "CLAIM ombrixd-attic-a", "offline"})
			EXPECT_EQ(claim_seen(role, me, text, false), Claim::ignore) << static_cast<int>(role) << " " << text;
}

// The broker keeps a retained message for ever: it proves nobody alive.
TEST(MqttClaim, ARetainedMessageIsNoClaim)
{
	const std::string me = "ombrixd-attic-b";
	for (Role role : {Role::asking, Role::holding, Role::watching})
		for (const char *text : {"held ombrixd-attic-a", "claim ombrixd-attic-a", "held a"})
			EXPECT_EQ(claim_seen(role, me, text, true), Claim::ignore) << static_cast<int>(role) << " " << text;
}

// One that held back hears only a holder, of any rank; a claim is the
// holder's to answer, and one that only claims never keeps the zone away.
TEST(MqttClaim, AWatcherHearsOnlyTheHolder)
{
	const std::string me = "ombrixd-attic-b";
	struct {
		const char *text;
		Claim want;
	} cases[] = {
		{"held ombrixd-attic-a", Claim::rival},
		{"held ombrixd-attic-c", Claim::rival},
		{"claim ombrixd-attic-a", Claim::ignore},
		{"claim ombrixd-attic-c", Claim::ignore},
	};
	for (const auto &c : cases)
		EXPECT_EQ(claim_seen(Role::watching, me, c.text, false), c.want) << c.text;
}

// --- the daemon on a broker -----------------------------------------------

struct Shape {
	const char *name;
	const char *field;
	const char *cold;  // 15 °C, 59 °F
	const char *warm;  // 25 °C, 77 °F: above the controller's 75, below the high limit
};

void PrintTo(const Shape &s, std::ostream *os)
{
	*os << s.name;
}

class MqttShapes : public MqttDaemon, public testing::WithParamInterface<Shape> {};

TEST_P(MqttShapes, DriveThePlugOnAndOffThroughTheClient)
{
	start_broker();
	const Shape &s = GetParam();
	DaemonRun run;
	drive_on(run, {"--sensor-field", s.field}, s.cold);
	feeder_->set(s.warm);
	EXPECT_TRUE(plug_got("OFF", switch_deadline)) << run.err() << sub_->lines();
	EXPECT_EQ(run.get("temp"), "77.000000\n");
	EXPECT_EQ(run.get("status"), "OFF\n");
}

INSTANTIATE_TEST_SUITE_P(Payloads, MqttShapes,
	testing::Values(Shape{"number", "", "15", "25.0\n"},
	                Shape{"zigbee", "temperature", R"({"humidity":40,"temperature":15})",
	                      R"({"humidity":40,"temperature":25.0})"},
	                Shape{"tasmota", "DS18B20.Temperature", R"({"DS18B20":{"Id":"01","Temperature":15}})",
	                      R"({"DS18B20":{"Id":"01","Temperature":25.0}})"}),
	[](const testing::TestParamInfo<Shape> &i) { return std::string(i.param.name); });

TEST_F(MqttDaemon, NeverPublishesARetainedReading)
{
	start_broker();
	ASSERT_TRUE(mqtt_publish(port_, sensor_topic, "15", true));
	DaemonRun run;
	run.put("status", "OFF\n");  // no client: the library then reads at once
	run.start(args({}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	EXPECT_TRUE(wait_for([&] { return run.out().find("rule=sensor-lost") != std::string::npos; },
	                     lost_deadline)) << run.out();
	EXPECT_EQ(run.get("temp"), "");
	EXPECT_EQ(run.out().find("temp=59"), std::string::npos) << run.out();
	// A live message of the same value counts.
	ASSERT_TRUE(mqtt_publish(port_, sensor_topic, "15", false));
	EXPECT_TRUE(wait_for([&] { return run.get("temp") == "59.000000\n"; }, 3s)) << run.err();
}

TEST_F(MqttDaemon, LosingTheBrokerSwitchesOffAndARestartSendsTheCommandAgain)
{
	start_broker();
	DaemonRun run;
	drive_on(run, {}, "15");
	broker_->stop();
	// No OFF can reach the plug now: the state line says so.
	EXPECT_TRUE(wait_for([&] { return run.out().find("heater=failed rule=sensor-lost") != std::string::npos; },
	                     lost_deadline)) << run.out();
	ASSERT_TRUE(broker_->start()) << broker_->why();
	subscribe(plug_topic);
	EXPECT_TRUE(plug_got("ON", reconnect_deadline)) << run.err() << sub_->lines();
	EXPECT_NE(run.err().find("rule sensor-lost cleared"), std::string::npos) << run.err();
	// The restarted broker kept nothing: the daemon tells it all again,
	// also what has not changed since.
	EXPECT_TRUE(retained_is("ombrix/attic/temperature", "59.00", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "online", 2s));
}

TEST_F(MqttDaemon, ResendsTheCommandEveryPeriod)
{
	start_broker();
	subscribe(plug_topic);
	DaemonRun run;
	run.start(args({}), false);
	// OFF from the start, without a reading: a plug that rebooted learns it.
	ASSERT_TRUE(plug_got("OFF", online_deadline)) << run.err() << sub_->lines();
	for (int period = 1; period < 3; period++)
		EXPECT_TRUE(plug_got("OFF", 2s)) << period << ": " << sub_->lines();
}

TEST_F(MqttDaemon, ADeadDaemonGoesOfflineByItsLastWill)
{
	start_broker();
	DaemonRun run;
	run.start(args({}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	run.signal(SIGKILL);
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "offline", 3s));
}

TEST_F(MqttDaemon, AStoppedDaemonSaysOfflineAndLeavesItsState)
{
	start_broker();
	DaemonRun run;
	drive_on(run, {}, "15");
	EXPECT_TRUE(retained_is("ombrix/attic/temperature", "59.00", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/command", "ON", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/heater", "ON", 2s));
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/fault"), std::nullopt);  // empty: no rule holds
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << run.err();
	EXPECT_TRUE(plug_got("OFF", 1s));
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability"), "offline");
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/heater"), "OFF");
}

TEST_F(MqttDaemon, NamesTheRuleThatHoldsAsTheFault)
{
	start_broker();
	DaemonRun run;
	run.start(args({}), false);
	EXPECT_TRUE(retained_is("ombrix/attic/fault", "sensor-lost", lost_deadline)) << run.err();
}

TEST_F(MqttDaemon, LogsAPlugThatDoesNotFollow)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--heater-state", "room/plug/state"}), false);
	// The daemon commands OFF; the plug keeps saying it is ON.
	EXPECT_TRUE(wait_for([&] {
		mqtt_publish(port_, "room/plug/state", R"({"POWER":"ON"})", false);
		return run.err().find("rule heater-mismatch tripped") != std::string::npos;
	}, 8s)) << run.err();
}

TEST_F(MqttDaemon, DescribesItselfToTheHub)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--ha-prefix", "hub"}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	struct Want {
		const char *topic, *unique_id, *state_topic, *device_class;
	};
	std::string device;
	for (Want w : {Want{"hub/sensor/ombrix_attic/temperature/config", "ombrix_attic_temperature",
	                    "ombrix/attic/temperature", "temperature"},
	               Want{"hub/binary_sensor/ombrix_attic/heater/config", "ombrix_attic_heater",
	                    "ombrix/attic/heater", "heat"},
	               Want{"hub/binary_sensor/ombrix_attic/fault/config", "ombrix_attic_fault",
	                    "ombrix/attic/fault", "problem"}}) {
		std::optional<std::string> text = mqtt_retained(port_, w.topic);
		ASSERT_TRUE(text) << w.topic;
		nlohmann::json c = nlohmann::json::parse(*text, nullptr, false);
		ASSERT_TRUE(c.is_object()) << *text;
		EXPECT_EQ(c.value("unique_id", ""), w.unique_id);
		EXPECT_EQ(c.value("state_topic", ""), w.state_topic);
		EXPECT_EQ(c.value("device_class", ""), w.device_class);
		EXPECT_EQ(c.value("availability_topic", ""), "ombrix/attic/availability");
		ASSERT_TRUE(c.contains("device") && c["device"].is_object()) << *text;
		EXPECT_EQ(c["device"].value("name", ""), "attic");
		if (device.empty())
			device = c["device"].dump();
		EXPECT_EQ(c["device"].dump(), device) << "one device for the zone";
	}
	nlohmann::json t = nlohmann::json::parse(*mqtt_retained(port_, "hub/sensor/ombrix_attic/temperature/config"));
	EXPECT_EQ(t.value("unit_of_measurement", ""), "\u00b0F");
	nlohmann::json f = nlohmann::json::parse(*mqtt_retained(port_, "hub/binary_sensor/ombrix_attic/fault/config"));
	EXPECT_EQ(f.value("json_attributes_topic", ""), "ombrix/attic/fault");
}

TEST_F(MqttDaemon, AnEmptyPrefixTurnsDiscoveryOff)
{
	start_broker();
	DaemonRun run;
	run.start(args({"--ha-prefix", ""}), false);
	ASSERT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline)) << run.err();
	EXPECT_EQ(mqtt_retained(port_, "+/+/ombrix_attic/+/config"), std::nullopt);
	EXPECT_EQ(mqtt_retained(port_, "homeassistant/#"), std::nullopt);
}

TEST_F(MqttDaemon, LogsInWithAPasswordFileOverTlsCheckedAgainstItsCa)
{
	DaemonRun run;
	ASSERT_TRUE(make_test_ca(run.tmp()));
	ASSERT_TRUE(make_password_file(run.tmp() + "/passwd", "heater", "s3cret"));
	run.put("password", "s3cret\n");
	start_broker({run.tmp() + "/passwd", run.tmp()});
	run.start(args({"--mqtt", "mqtts://127.0.0.1:" + std::to_string(broker_->tls_port()), "--mqtt-ca",
	                "/tmp/ca.crt", "--mqtt-user", "heater", "--mqtt-password-file", "/tmp/password"}),
	          false);
	Login login{"heater", "s3cret"};
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "online", online_deadline, login)) << run.err();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability"), std::nullopt) << "anonymous refused";
}

TEST_F(MqttDaemon, RefusedLoginsAndUnknownCertificatesNeverConnect)
{
	DaemonRun wrong_password, unknown_ca;
	ASSERT_TRUE(make_test_ca(wrong_password.tmp()));
	ASSERT_TRUE(make_password_file(wrong_password.tmp() + "/passwd", "heater", "s3cret"));
	wrong_password.put("password", "guess\n");
	start_broker({wrong_password.tmp() + "/passwd", wrong_password.tmp()});
	wrong_password.start(args({"--mqtt-user", "heater", "--mqtt-password-file", "/tmp/password"}), false);
	// The system's CAs do not know the test's.
	unknown_ca.put("password", "s3cret\n");
	unknown_ca.start(args({"--mqtt", "mqtts://127.0.0.1:" + std::to_string(broker_->tls_port()),
	                       "--mqtt-user", "heater", "--mqtt-password-file", "/tmp/password"}),
	                 false);
	EXPECT_TRUE(wait_for([&] { return wrong_password.err().find("refused") != std::string::npos; }, 3s))
		<< wrong_password.err();
	Login login{"heater", "s3cret"};
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability", login), std::nullopt);
	EXPECT_TRUE(wait_for([&] { return unknown_ca.out().find("rule=sensor-lost") != std::string::npos; },
	                     lost_deadline)) << unknown_ca.err() << unknown_ca.out();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability", login), std::nullopt);
}

// --- libmosquitto, loaded only for an MQTT zone ---------------------------

class MqttLibrary : public testing::Test {
protected:
	void SetUp() override
	{
		std::string why = cannot_isolate();
		if (!why.empty())
			GTEST_SKIP() << why;
	}

	// The libraries the daemon has mapped, from the host's view of it: under
	// qemu-user the guest's libraries are qemu's mappings of their files.
	static std::string maps(const DaemonRun &run)
	{
		return read_file("/proc/" + std::to_string(run.daemon_pid()) + "/maps");
	}
};

TEST_F(MqttLibrary, AnMqttZoneWithoutItExitsOneWithOneLine)
{
	DaemonRun run;
	run.without(MOSQUITTO_LIBDIR, "libmosquitto.so");
	run.start({"--mqtt", "mqtt://127.0.0.1:1", "--sensor", "mqtt:room/sensor", "--heater", "mqtt:room/plug"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 1) << run.err();
	std::string err = run.err();
	EXPECT_EQ(count(err, "\n"), 1u) << err;
	EXPECT_NE(err.find("ombrixd: mqtt: libmosquitto.so.1: "), std::string::npos) << err;
}

TEST_F(MqttLibrary, AZoneWithoutMqttRunsWithoutItAndNeverMapsIt)
{
	for (bool installed : {false, true}) {
		DaemonRun run;
		if (!installed)
			run.without(MOSQUITTO_LIBDIR, "libmosquitto.so");
		run.put("sensor", "15\n");
		run.put("heater", "0\n");
		run.put("status", "ON\n");
		run.start({"--sensor", "file:/tmp/sensor", "--heater", "file:/tmp/heater", "--period", "1"}, false);
		EXPECT_TRUE(wait_for([&] { return run.get("heater") == "1\n"; }, online_deadline)) << run.err();
		std::string mapped = maps(run);
		EXPECT_NE(mapped.find("libc.so"), std::string::npos) << "maps unread";
		EXPECT_EQ(mapped.find("libmosquitto"), std::string::npos) << mapped;
		EXPECT_EQ(mapped.find("libssl"), std::string::npos) << mapped;
		run.signal(SIGTERM);
		EXPECT_EQ(run.wait_exit(stop_deadline), 0) << run.err();
	}
}

TEST_F(MqttLibrary, AnMqttZoneMapsIt)
{
	DaemonRun run;
	run.start({"--mqtt", "mqtt://127.0.0.1:1", "--sensor", "mqtt:room/sensor", "--heater", "mqtt:room/plug"}, false);
	EXPECT_TRUE(wait_for([&] { return run.err().find("started") != std::string::npos; }, online_deadline))
		<< run.err();
	EXPECT_NE(maps(run).find("libmosquitto.so"), std::string::npos);
}

TEST(MqttOptions, BadUrlsAndPasswordFilesExitTwoWithOneLine)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	// The rest are config_test.cpp's, in-process.
	const std::vector<std::vector<std::string>> bad = {
		{"--mqtt", "http://broker"},
		{"--mqtt", "mqtt://broker", "--mqtt-password-file", "/"},
	};
	for (const std::vector<std::string> &a : bad) {
		DaemonRun run;
		run.start(a, false);
		EXPECT_EQ(run.wait_exit(stop_deadline), 2) << a.back() << ": " << run.err();
		std::string err = run.err();
		EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
		const std::string &option = a[a.size() - 2];
		EXPECT_NE(err.find(option.substr(2)), std::string::npos) << option << ": " << err;
	}
}

} // namespace
