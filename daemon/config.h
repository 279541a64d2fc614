// ombrixd's configuration: parsed once from the command line (and the files
// that --config names) into this plain struct, then only read.  The option
// table in config.cpp is the one place that gives each option's name,
// usage, default and parsing.
#pragma once

#include <cmath>
#include <string>

#include "units.h"

struct SensorKind;                      // sensors/sensor.h
struct HeaterKind;                      // heaters/heater.h

// Zero values here; parse_config() sets the defaults.
struct Config {
	const SensorKind *sensor = nullptr;
	std::string sensor_arg;             // path, command or topic after "kind:"
	Unit sensor_unit{};                 // of file:, exec: and mqtt: readings
	std::string sensor_field;           // dotted path into a JSON payload
	Unit unit{};                        // of every temperature a person gives or sees

	const HeaterKind *heater = nullptr;
	std::string heater_arg;
	std::string heater_on;              // mqtt: payloads
	std::string heater_off;
	std::string heater_state;           // mqtt: topic where the plug reports

	double period_s = 0;
	double sensor_timeout_s = 0;
	double min = NAN;                   // plausible readings, --unit;
	double max = NAN;                   // NaN until set: the default depends on --unit
	double high_limit = NAN;            // NaN: follows the band (setpoint.h)
	double target = NAN;                // the band, --unit (setpoint.h); NaN until
	double band = NAN;                  // set: the defaults depend on --unit
	double target_min = NAN;            // bounds of a target set at run time
	double target_max = NAN;
	Mode mode{};
	std::string state_dir;              // where run-time settings live; empty: nowhere
	double heat_check_s = 0;            // 0: no runaway check
	double heat_gain = 0;               // --unit
	double max_on_s = 0;                // 0: no limit
	double min_off_s = 0;               // 0: the heater may come ON again at once
	double lost_duty_pct = 0;

	std::string temp_file;
	std::string status_file;
	double duration_s = 0;              // 0: until a signal
	bool switch_off = false;
	double set_target = NAN;            // --set-target, --set-mode: store them
	std::string set_mode;               // in --state-dir and exit; NaN, "": not given
	bool daemonize = false;

	std::string mqtt_host;              // empty: no broker
	int mqtt_port = 0;
	bool mqtt_tls = false;
	std::string mqtt_user;
	std::string mqtt_password_file;
	std::string mqtt_password;          // read_password() reads it from the file
	std::string mqtt_ca;
	std::string zone;
	std::string ha_prefix;              // empty: no discovery
};

// Exit status for a bad option or value.
inline constexpr int exit_usage = 2;

struct ParseResult {
	bool ok;            // every option and value was good
	bool heater_ok;     // those that name the heater were: --switch-off can work
	                    // (a bad --zone, or --mqtt for a file: heater, does not stop it)
	bool help;          // --help was given: nothing after it was read
	std::string errors; // what was wrong, "ombrixd: " and one line a fault
};

// Parses argv into cfg: the defaults first, then each option in turn, a
// --config FILE's lines where it stands, so that later options win.  Prints
// nothing and never exits: the caller says the errors.
ParseResult parse_config(int argc, char **argv, Config &cfg);

// Reads the broker's password, the first line of --mqtt-password-file,
// into cfg.mqtt_password: only for a run that uses the broker, so that a
// file that cannot be read stops nothing else.  Returns "", or the line
// that says what is wrong.
std::string read_password(Config &cfg);

// What --help prints: a line an option.
std::string usage();
