#include "mqtt_case.h"

#include <filesystem>

#include <stdlib.h>

#include "isolate.h"

Feeder::Feeder(const int &port, std::string payload) : port_(port), payload_(std::move(payload))
{
	thread_ = std::thread([this] { feed(); });
}

Feeder::~Feeder()
{
	stop_ = true;
	thread_.join();
}

void Feeder::set(std::string payload)
{
	std::lock_guard<std::mutex> hold(lock_);
	payload_ = std::move(payload);
}

void Feeder::feed()
{
	while (!stop_) {
		std::string p;
		{
			std::lock_guard<std::mutex> hold(lock_);
			p = payload_;
		}
		mqtt_publish(port_, sensor_topic, p.c_str(), false);
		std::this_thread::sleep_for(300ms);
	}
}

size_t count(const std::string &text, const std::string &part)
{
	size_t n = 0;
	for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
		n++;
	return n;
}

void MqttDaemon::SetUp()
{
	std::string why = cannot_isolate();
	if (why.empty())
		why = cannot_broker();
	if (!why.empty())
		GTEST_SKIP() << why;
	char dir[] = SCRATCH_ROOT "/broker-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	dir_ = dir;
}

void MqttDaemon::TearDown()
{
	// Peers and broker first: they hold files in dir_.
	feeder_.reset();
	sub_.reset();
	broker_.reset();
	if (!dir_.empty())
		std::filesystem::remove_all(dir_);
}

void MqttDaemon::start_broker(const Broker::Options &opt)
{
	broker_ = std::make_unique<Broker>(dir_, opt);
	if (opt.started) {
		ASSERT_TRUE(broker_->running()) << broker_->why();
	}
	port_ = broker_->port();
}

std::vector<std::string> MqttDaemon::args(std::vector<std::string> more) const
{
	std::vector<std::string> a = {"--mqtt", url(), "--period", "1", "--sensor-timeout", "3",
	                              "--zone", "attic", "--sensor", std::string("mqtt:") + sensor_topic,
	                              "--heater", std::string("mqtt:") + plug_topic};
	a.insert(a.end(), more.begin(), more.end());
	return a;
}

void MqttDaemon::subscribe(const char *topic)
{
	seen_ = 0;
	sub_.reset();
	sub_ = std::make_unique<Subscriber>(port_, topic, dir_ + "/sub-" + std::to_string(++subs_));
}

bool MqttDaemon::plug_got(const char *payload, std::chrono::milliseconds deadline)
{
	std::string line = std::string(plug_topic) + " " + payload + "\n";
	size_t at = std::string::npos;
	bool got = wait_for([&] { return (at = sub_->lines().find(line, seen_)) != std::string::npos; }, deadline);
	if (got)
		seen_ = at + line.size();
	return got;
}

bool MqttDaemon::retained_is(const char *topic, const char *want, std::chrono::milliseconds deadline, Login l)
{
	return wait_for([&] { return mqtt_retained(port_, topic, l) == std::string(want); }, deadline);
}

void MqttDaemon::drive_on(DaemonRun &run, const std::vector<std::string> &more, const char *cold)
{
	run.put("temp", "59.000000\n");
	subscribe(plug_topic);
	feeder_ = std::make_unique<Feeder>(port_, cold);
	run.start(args(more));
	ASSERT_TRUE(plug_got("ON", switch_deadline)) << run.err() << sub_->lines();
	ASSERT_TRUE(wait_for([&] { return run.get("temp") == "59.000000\n"; }, 2s)) << run.get("temp");
}
