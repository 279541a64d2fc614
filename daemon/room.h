// The simulated room behind `--sensor sim` and `--heater sim`: it loses heat
// to a cold outside and gains it while the heater is ON.  Celsius.
#pragma once

#include <mutex>

class Room {
public:
	explicit Room(double now_s);
	// The room temperature at now_s.
	float temperature(double now_s);
	void set_heater(bool on, double now_s);

private:
	void advance(double now_s);

	std::mutex lock_;  // the sensor thread reads, the supervisor switches
	double temp_c_;
	bool heater_ = false;
	double last_s_;
};
