// ombrixd's configuration: parsed once from the command line (and the files
// that --config names) into this plain struct, then only read.  The option
// table in config.cpp is the one place that gives each option's name,
// usage, default and parsing.
#pragma once

#include <cmath>
#include <string>

#include "units.h"

enum class SensorKind { sim, hwmon, w1, file, exec, mqtt };
enum class HeaterKind { sim, file, exec, mqtt };

// Zero values here; parse_config() sets the defaults.
struct Config {
	SensorKind sensor{};
	std::string sensor_arg;             // path, command or topic after "kind:"
	Unit sensor_unit{};                 // of file:, exec: and mqtt: readings
	std::string sensor_field;           // dotted path into a JSON payload
	Unit unit{};                        // of every temperature a person gives or sees

	HeaterKind heater{};
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
	std::string mqtt_password;          // read from --mqtt-password-file
	std::string mqtt_ca;
	std::string zone;
	std::string ha_prefix;              // empty: no discovery
};

// Whether the sensor's readings, or the heater's commands, go through the
// broker (--mqtt).
inline bool sensor_on_bus(const Config &cfg)
{
	return cfg.sensor == SensorKind::mqtt;
}
inline bool heater_on_bus(const Config &cfg)
{
	return cfg.heater == HeaterKind::mqtt;
}

// Exit status for a bad option or value.
inline constexpr int exit_usage = 2;

struct ParseResult {
	bool ok;          // every option and value was good
	bool heater_ok;   // those that name the heater were: --switch-off can work
	                  // (a bad --zone, or --mqtt for a file: heater, does not stop it)
};

// Parses argv into cfg: the defaults first, then each option in turn, a
// --config FILE's lines where it stands, so that later options win.
// Prints one line for each
// bad option or value; --help prints the usage and exits 0.
ParseResult parse_config(int argc, char **argv, Config &cfg);
