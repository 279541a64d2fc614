// ombrixd's configuration: parsed once from the command line (and the files
// that --config names) into this plain struct, then only read.
#pragma once

#include <string>

enum class Unit { celsius, fahrenheit };

enum class SensorKind { sim, hwmon, w1, file, exec, mqtt };
enum class HeaterKind { sim, file, exec, mqtt };

struct Config {
	SensorKind sensor = SensorKind::sim;
	std::string sensor_arg;             // path, command or topic after "kind:"
	Unit sensor_unit = Unit::celsius;   // of file:, exec: and mqtt: readings
	std::string sensor_field;           // dotted path into a JSON payload
	Unit unit = Unit::fahrenheit;       // published to the controller

	HeaterKind heater = HeaterKind::sim;
	std::string heater_arg;
	std::string heater_on = "ON";       // mqtt: payloads
	std::string heater_off = "OFF";
	std::string heater_state;           // mqtt: topic where the plug reports

	double period_s = 5;
	double sensor_timeout_s = 60;
	double min = 14;                    // plausible readings, published unit
	double max = 122;
	double heat_check_s = 1800;         // 0: no runaway check
	double heat_gain = 1.0;             // published unit
	double max_on_s = 0;                // 0: no limit
	double lost_duty_pct = 0;

	std::string temp_file = "/tmp/temp";
	std::string status_file = "/tmp/status";
	double duration_s = 0;              // 0: until a signal
	bool switch_off = false;
	bool daemonize = false;

	std::string mqtt_host;              // empty: no broker
	int mqtt_port = 0;
	bool mqtt_tls = false;
	std::string mqtt_user;
	std::string mqtt_password;          // read from --mqtt-password-file
	std::string mqtt_ca;
	std::string zone = "default";
	std::string ha_prefix = "homeassistant";  // empty: no discovery
};

// Exit status for a bad option or value.
inline constexpr int exit_usage = 2;

// Parses argv into cfg.  On a bad option or value prints one line naming
// it and returns false; the caller exits with exit_usage.  --help prints
// the usage and exits 0.
bool parse_config(int argc, char **argv, Config &cfg);

// Degrees in unit `to` for t degrees in unit `from`.
double convert(double t, Unit from, Unit to);
