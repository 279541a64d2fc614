#include "room.h"

#include <cmath>

namespace {

constexpr double outside_c = 10.0;          // the cold outside, °C
constexpr double loss_per_s = 0.02;         // share of the room-outside gap lost a second
constexpr double heater_c_per_s = 2.0 / 3;  // °C a second the heater adds (1.2 °F)
constexpr double start_c = 22.2;            // about 72 °F

} // namespace

Room::Room(double now_s) : temp_c_(start_c), last_s_(now_s) {}

float Room::temperature(double now_s)
{
	std::lock_guard<std::mutex> hold(lock_);
	advance(now_s);
	return static_cast<float>(temp_c_);
}

void Room::set_heater(bool on, double now_s)
{
	std::lock_guard<std::mutex> hold(lock_);
	advance(now_s);
	heater_ = on;
}

// The room decays exponentially towards the balance between the heater (if
// on) and the loss to the outside.  Two threads pass their own clock
// readings, so a time already passed is no step back, just none.
void Room::advance(double now_s)
{
	double dt = now_s - last_s_;
	if (dt <= 0)
		return;
	double balance = outside_c + (heater_ ? heater_c_per_s / loss_per_s : 0.0);
	temp_c_ = balance + (temp_c_ - balance) * std::exp(-loss_per_s * dt);
	last_s_ = now_s;
}
