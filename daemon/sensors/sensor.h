// ombrixd's sensors.  Each kind is one row, defined in a file of its own
// (sim.cpp, hwmon.cpp, ...) and listed once in sensor.cpp's table: its name
// in --sensor, its argument, its unit and how it reads.  A reading is a
// number in the sensor's own unit (sensor_unit()), or NaN with the reason
// it is bad.  The parsers are apart so that they are tested on the real
// formats.
#pragma once

#include <string>
#include <string_view>

#include "config.h"
#include "kit/number.h"

class Room;
struct Sensor;

struct Reading {
	float value;      // NaN when bad
	const char *why;  // when bad: a constant text for the log
};

struct SensorKind {
	const char *name;       // before the colon in --sensor
	const char *arg;        // what follows it, as --help names it; nullptr: nothing
	bool celsius;           // reads in °C, whatever --sensor-unit says
	bool on_bus;            // the bus delivers its readings (--mqtt)
	// Reads s once; may block (a w1 chip converts for most of a second, an
	// exec: command runs up to exec_sensor_timeout_s).  now_s (monotonic)
	// drives the simulated room.  nullptr for a kind on the bus.
	Reading (*read)(const Sensor &s, double now_s);
};

// Whether cfg's sensor delivers its readings through the broker.
inline bool sensor_on_bus(const Config &cfg)
{
	return cfg.sensor && cfg.sensor->on_bus;
}

// The kind of that name, or nullptr.
const SensorKind *find_sensor(std::string_view name);
// Every kind as --help shows it: "sim | hwmon:PATH | ...".
std::string sensor_usage();

// Set up at start-up; read only after.
struct Sensor {
	const SensorKind *kind = nullptr;
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

// Reads the sensor once, as its kind does.
Reading read_sensor(const Sensor &s, double now_s);

inline constexpr double exec_sensor_timeout_s = 5;

class Mailbox;
// Reads s every period_s on a thread of its own and posts each reading;
// for a kind that the bus does not deliver.
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
