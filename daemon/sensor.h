// ombrixd's sensors: one function per kind reads one value.  A reading is
// a number in the sensor's own unit (sensor_unit()), or NaN with the reason
// it is bad.  Parsers are separate so that they can be tested on the real
// formats.
#pragma once

#include "config.h"
#include "kit/number.h"

class Room;

struct Reading {
	float value;      // NaN when bad
	const char *why;  // when bad: a constant text for the log
};

// Set up at start-up; read only after.  The mqtt kind delivers its readings
// through the bus instead and is never read here.
struct Sensor {
	SensorKind kind = SensorKind::sim;
	std::string arg;            // path or command
	Room *room = nullptr;       // sim
};

// Makes the sensor that cfg names.  A path that does not exist yet is no
// problem: a w1 chip comes and goes, and the readings say it is missing.
// A fatal problem (sim without a room) is printed as one line and gives
// false.
bool open_sensor(const Config &cfg, Room *room, Sensor &s);

// The unit of what read_sensor() returns: Celsius for the kernel's
// sensors and the simulation, else the configured --sensor-unit.
Unit sensor_unit(const Config &cfg);

// Reads the sensor once; may block, up to exec_sensor_timeout_s for exec:
// (a non-zero exit is a bad reading too).
// now_s (monotonic) drives the simulated room.
Reading read_sensor(const Sensor &s, double now_s);

inline constexpr double exec_sensor_timeout_s = 5;

class Mailbox;
// Reads s every period_s on a thread of its own (a w1 chip takes most of a
// second to convert, an exec: command up to five) and posts each reading.
void start_sensing(const Sensor &s, Mailbox &mb, double period_s);

// The parsers, on a file's whole text.  Each returns true with *value set
// for a good reading; false with *why set for a bad one.
// hwmon temp*_input, thermal_zone*/temp, IIO in_temp_input: one integer of
// millidegrees Celsius, maybe a newline.
bool parse_millidegrees(const char *text, float *celsius, const char **why);
// w1_slave of a DS18B20: the first line ends in YES (CRC good), the second
// in t=<millidegrees>; 85000 is the power-on value, and a scratchpad of
// zeros (its CRC is zero too) a chip that did not answer: no readings.
bool parse_w1(const char *text, float *celsius, const char **why);
// file: and exec: readings, plain mqtt: payloads: parse_plain_number().
