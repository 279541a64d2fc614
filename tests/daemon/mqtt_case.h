// What the cases of ombrixd on a real broker share: a scratch folder for
// the broker, the broker itself, the sensor that feeds it, a subscriber as
// the plug, and the options of a zone on the bus.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "broker.h"
#include "daemon_run.h"

using namespace std::chrono_literals;

inline constexpr auto online_deadline = 5s;      // the daemon connects at once, then claims the zone
inline constexpr auto switch_deadline = 15s;     // a client cycle is 5 s, then the exchange
inline constexpr auto lost_deadline = 5s;        // --sensor-timeout 3, and a second
inline constexpr auto reconnect_deadline = 15s;  // the backoff after a restart, and the claim
inline constexpr auto stop_deadline = 5s;
// A daemon that held back claims the zone again once the holder has been
// silent for 10 s; its claim takes 2 s more, then the plug gets the command.
inline constexpr auto zone_back_deadline = 20s;

inline constexpr const char *sensor_topic = "room/sensor";
inline constexpr const char *plug_topic = "room/plug/set";

// Publishes a sensor's payload every 300 ms until destroyed, as a live
// sensor does; the payload can change meanwhile.
class Feeder {
public:
	Feeder(const int &port, std::string payload);
	~Feeder();
	Feeder(const Feeder &) = delete;
	Feeder &operator=(const Feeder &) = delete;
	void set(std::string payload);

private:
	void feed();

	const int &port_;  // a restarted broker keeps its port
	std::mutex lock_;
	std::string payload_;
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

// How often part occurs in text.
size_t count(const std::string &text, const std::string &part);

class MqttDaemon : public testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	void start_broker(const Broker::Options &opt = {});
	// The broker's plain listener, or another port such as a proxy's.
	std::string url() const { return url_at(port_); }
	static std::string url_at(int port) { return "mqtt://127.0.0.1:" + std::to_string(port); }
	static std::string tls_url_at(int port) { return "mqtts://127.0.0.1:" + std::to_string(port); }

	// The options every case shares: short periods, the bus sensor and plug.
	std::vector<std::string> args(std::vector<std::string> more) const;

	void subscribe(const char *topic);
	// Whether the plug gets payload, after what it had got at the last call.
	bool plug_got(const char *payload, std::chrono::milliseconds deadline);
	bool retained_is(const char *topic, const char *want, std::chrono::milliseconds deadline, Login l = {});
	// The client reads a cold room at once and commands ON; the daemon
	// switches the plug once its own first good reading has come.
	void drive_on(DaemonRun &run, const std::vector<std::string> &more, const char *cold);

	std::string dir_;
	std::unique_ptr<Broker> broker_;
	int port_ = 0;
	std::unique_ptr<Feeder> feeder_;
	std::unique_ptr<Subscriber> sub_;
	int subs_ = 0;
	size_t seen_ = 0;
};
