// The command line of ombrixd, with the files that --config names expanded
// in place, parsed once with getopt_long into a Config.
#include "config.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <getopt.h>

namespace {

constexpr double celsius_min = -10, celsius_max = 50;  // default plausible range, °C
constexpr int mqtt_port = 1883, mqtts_port = 8883;
constexpr size_t password_max = 4096;                  // bytes

const char usage[] =
	"usage: ombrixd [options]\n"
	"  --config FILE            read options from FILE, one name=value a line\n"
	"  --sensor SENSOR          sim | hwmon:PATH | w1:PATH | file:PATH | exec:COMMAND | mqtt:TOPIC\n"
	"  --sensor-unit C|F        unit of file:, exec: and mqtt: readings (C)\n"
	"  --sensor-field PATH      dotted path of the number in a JSON payload\n"
	"  --unit F|C               unit published to the controller (F)\n"
	"  --heater HEATER          sim | file:PATH | exec:COMMAND | mqtt:TOPIC\n"
	"  --heater-on TEXT         mqtt: payload for ON (ON)\n"
	"  --heater-off TEXT        mqtt: payload for OFF (OFF)\n"
	"  --heater-state TOPIC     mqtt: topic where the plug reports its state\n"
	"  --period S               seconds between readings (5)\n"
	"  --sensor-timeout S       seconds without a good reading before heater OFF (60)\n"
	"  --min T, --max T         plausible readings, published unit (-10 and 50 °C)\n"
	"  --heat-check S           seconds ON within which the heat must rise (1800; 0: off)\n"
	"  --heat-gain T            rise expected per heat check, published unit (1.0)\n"
	"  --max-on S               longest ON stretch in seconds (0: none)\n"
	"  --lost-duty P            percent of each 10 minutes ON while the sensor is lost (0)\n"
	"  --temp-file PATH         temperature file (/tmp/temp)\n"
	"  --status-file PATH       status file (/tmp/status)\n"
	"  --duration S             stop after S seconds (0: never)\n"
	"  --switch-off             switch the heater OFF once and exit\n"
	"  --daemon                 run in the background\n"
	"  --mqtt URL               mqtt://HOST[:PORT] or mqtts://HOST[:PORT]\n"
	"  --mqtt-user NAME         user name at the broker\n"
	"  --mqtt-password-file F   file holding the broker password\n"
	"  --mqtt-ca FILE           CA certificate for mqtts\n"
	"  --zone NAME              this thermostat's name on the bus (default)\n"
	"  --ha-prefix PREFIX       discovery prefix (homeassistant; empty: none)\n"
	"  --help                   print this and exit\n";

enum Opt {
	opt_config = 256, opt_sensor, opt_sensor_unit, opt_sensor_field, opt_unit, opt_heater,
	opt_heater_on, opt_heater_off, opt_heater_state, opt_period, opt_sensor_timeout, opt_min,
	opt_max, opt_heat_check, opt_heat_gain, opt_max_on, opt_lost_duty, opt_temp_file,
	opt_status_file, opt_duration, opt_switch_off, opt_daemon, opt_mqtt, opt_mqtt_user,
	opt_mqtt_password_file, opt_mqtt_ca, opt_zone, opt_ha_prefix, opt_help,
};

const option options[] = {
	{"config", required_argument, nullptr, opt_config},
	{"sensor", required_argument, nullptr, opt_sensor},
	{"sensor-unit", required_argument, nullptr, opt_sensor_unit},
	{"sensor-field", required_argument, nullptr, opt_sensor_field},
	{"unit", required_argument, nullptr, opt_unit},
	{"heater", required_argument, nullptr, opt_heater},
	{"heater-on", required_argument, nullptr, opt_heater_on},
	{"heater-off", required_argument, nullptr, opt_heater_off},
	{"heater-state", required_argument, nullptr, opt_heater_state},
	{"period", required_argument, nullptr, opt_period},
	{"sensor-timeout", required_argument, nullptr, opt_sensor_timeout},
	{"min", required_argument, nullptr, opt_min},
	{"max", required_argument, nullptr, opt_max},
	{"heat-check", required_argument, nullptr, opt_heat_check},
	{"heat-gain", required_argument, nullptr, opt_heat_gain},
	{"max-on", required_argument, nullptr, opt_max_on},
	{"lost-duty", required_argument, nullptr, opt_lost_duty},
	{"temp-file", required_argument, nullptr, opt_temp_file},
	{"status-file", required_argument, nullptr, opt_status_file},
	{"duration", required_argument, nullptr, opt_duration},
	{"switch-off", no_argument, nullptr, opt_switch_off},
	{"daemon", no_argument, nullptr, opt_daemon},
	{"mqtt", required_argument, nullptr, opt_mqtt},
	{"mqtt-user", required_argument, nullptr, opt_mqtt_user},
	{"mqtt-password-file", required_argument, nullptr, opt_mqtt_password_file},
	{"mqtt-ca", required_argument, nullptr, opt_mqtt_ca},
	{"zone", required_argument, nullptr, opt_zone},
	{"ha-prefix", required_argument, nullptr, opt_ha_prefix},
	{"help", no_argument, nullptr, opt_help},
	{nullptr, 0, nullptr, 0},
};

const char *long_name(int opt)
{
	for (const option *o = options; o->name; o++)
		if (o->val == opt)
			return o->name;
	return "?";
}

bool bad(int opt, const char *why, const char *value)
{
	std::fprintf(stderr, "ombrixd: --%s: %s: \"%s\"\n", long_name(opt), why, value);
	return false;
}

bool number(const char *text, double *out)
{
	char *end;
	errno = 0;
	*out = std::strtod(text, &end);
	return end != text && *end == '\0' && errno == 0 && std::isfinite(*out);
}

// A number within lo..hi (hi_open: below hi), else a message naming opt.
bool number_in(int opt, const char *text, double lo, double hi, double *out)
{
	if (!number(text, out))
		return bad(opt, "not a number", text);
	if (*out < lo || *out > hi)
		return bad(opt, "out of range", text);
	return true;
}

bool positive(int opt, const char *text, double *out)
{
	if (!number(text, out))
		return bad(opt, "not a number", text);
	if (*out <= 0)
		return bad(opt, "must be above 0", text);
	return true;
}

bool unit(int opt, const char *text, Unit *out)
{
	if (std::strcmp(text, "C") == 0)
		*out = Unit::celsius;
	else if (std::strcmp(text, "F") == 0)
		*out = Unit::fahrenheit;
	else
		return bad(opt, "not C or F", text);
	return true;
}

// Splits "kind:argument"; sim stands alone.
bool split_spec(const char *text, std::string &kind, std::string &arg)
{
	const char *colon = std::strchr(text, ':');
	if (!colon) {
		kind = text;
		arg.clear();
		return kind == "sim";
	}
	kind.assign(text, colon);
	arg = colon + 1;
	return !arg.empty();
}

bool sensor(const char *text, Config &cfg)
{
	std::string kind;
	if (!split_spec(text, kind, cfg.sensor_arg))
		return bad(opt_sensor, "not sim or KIND:ARGUMENT", text);
	if (kind == "sim")
		cfg.sensor = SensorKind::sim;
	else if (kind == "hwmon")
		cfg.sensor = SensorKind::hwmon;
	else if (kind == "w1")
		cfg.sensor = SensorKind::w1;
	else if (kind == "file")
		cfg.sensor = SensorKind::file;
	else if (kind == "exec")
		cfg.sensor = SensorKind::exec;
	else if (kind == "mqtt")
		cfg.sensor = SensorKind::mqtt;
	else
		return bad(opt_sensor, "unknown kind", text);
	return true;
}

bool heater(const char *text, Config &cfg)
{
	std::string kind;
	if (!split_spec(text, kind, cfg.heater_arg))
		return bad(opt_heater, "not sim or KIND:ARGUMENT", text);
	if (kind == "sim")
		cfg.heater = HeaterKind::sim;
	else if (kind == "file")
		cfg.heater = HeaterKind::file;
	else if (kind == "exec")
		cfg.heater = HeaterKind::exec;
	else if (kind == "mqtt")
		cfg.heater = HeaterKind::mqtt;
	else
		return bad(opt_heater, "unknown kind", text);
	return true;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; an IPv6 address in brackets.
bool mqtt_url(const char *text, Config &cfg)
{
	std::string url = text;
	size_t host_at;
	if (url.starts_with("mqtt://")) {
		cfg.mqtt_tls = false;
		host_at = 7;
	} else if (url.starts_with("mqtts://")) {
		cfg.mqtt_tls = true;
		host_at = 8;
	} else {
		return bad(opt_mqtt, "not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]", text);
	}
	std::string rest = url.substr(host_at), port;
	if (rest.starts_with("[")) {
		size_t close = rest.find(']');
		if (close == std::string::npos)
			return bad(opt_mqtt, "no closing ] after the address", text);
		cfg.mqtt_host = rest.substr(1, close - 1);
		rest = rest.substr(close + 1);
		if (!rest.empty() && !rest.starts_with(":"))
			return bad(opt_mqtt, "text after the address", text);
		port = rest.empty() ? "" : rest.substr(1);
	} else {
		size_t colon = rest.find(':');
		cfg.mqtt_host = rest.substr(0, colon);
		port = colon == std::string::npos ? "" : rest.substr(colon + 1);
		if (colon != std::string::npos && port.empty())
			return bad(opt_mqtt, "no port after the colon", text);
	}
	if (cfg.mqtt_host.empty() || cfg.mqtt_host.find_first_of("/?#@ ") != std::string::npos)
		return bad(opt_mqtt, "not a host name", text);
	cfg.mqtt_port = cfg.mqtt_tls ? mqtts_port : mqtt_port;
	if (port.empty())
		return true;
	double p;
	if (!number(port.c_str(), &p) || p < 1 || p > 65535 || p != std::floor(p))
		return bad(opt_mqtt, "not a port from 1 to 65535", text);
	cfg.mqtt_port = static_cast<int>(p);
	return true;
}

// The password is the file's first line.
bool password_file(const char *path, Config &cfg)
{
	FILE *f = std::fopen(path, "re");
	if (!f)
		return bad(opt_mqtt_password_file, std::strerror(errno), path);
	char buf[password_max];
	size_t n = std::fread(buf, 1, sizeof buf - 1, f);
	bool failed = std::ferror(f);
	int err = errno;
	std::fclose(f);
	if (failed)
		return bad(opt_mqtt_password_file, std::strerror(err), path);
	buf[n] = '\0';
	cfg.mqtt_password.assign(buf, std::strcspn(buf, "\r\n"));
	return true;
}

// Zone names become parts of topics and unique ids.
bool zone(const char *text, Config &cfg)
{
	size_t n = std::strlen(text);
	if (n == 0 || std::strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != n)
		return bad(opt_zone, "use letters, digits, - and _", text);
	cfg.zone = text;
	return true;
}

// A topic to publish to, or a prefix of topics: no wildcards.
bool topic(int opt, const char *text, std::string &out)
{
	if (std::strpbrk(text, "+#"))
		return bad(opt, "no wildcards allowed", text);
	out = text;
	return true;
}

std::string trim(const std::string &s)
{
	size_t a = s.find_first_not_of(" \t\r\n");
	if (a == std::string::npos)
		return "";
	size_t b = s.find_last_not_of(" \t\r\n");
	return s.substr(a, b - a + 1);
}

// Appends the options of a configuration file: "name=value" or "name" a
// line; blank lines and lines beginning with # are skipped.
bool read_config(const char *path, std::vector<std::string> &args)
{
	std::ifstream in(path);
	if (!in)
		return bad(opt_config, std::strerror(errno), path);
	int n = 0;
	for (std::string line; std::getline(in, line);) {
		n++;
		line = trim(line);
		if (line.empty() || line[0] == '#')
			continue;
		size_t eq = line.find('=');
		std::string name = trim(line.substr(0, eq));
		if (name == "config" || name.starts_with("-")) {
			std::fprintf(stderr, "ombrixd: --config: %s:%d: not an option line: \"%s\"\n", path, n,
			             line.c_str());
			return false;
		}
		std::string arg = "--";
		arg.append(name);
		if (eq != std::string::npos)
			arg.append("=").append(trim(line.substr(eq + 1)));
		args.push_back(arg);
	}
	return true;
}

// argv with every --config FILE replaced by the file's options.
bool expand(int argc, char **argv, std::vector<std::string> &args)
{
	args.emplace_back("ombrixd");
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--config") {
			if (i + 1 >= argc) {
				std::fprintf(stderr, "ombrixd: option '--config' requires an argument\n");
				return false;
			}
			if (!read_config(argv[++i], args))
				return false;
		} else if (a.starts_with("--config=")) {
			if (!read_config(a.c_str() + 9, args))
				return false;
		} else {
			args.push_back(a);
		}
	}
	return true;
}

bool take(int opt, const char *arg, Config &cfg, bool &min_set, bool &max_set)
{
	switch (opt) {
	case opt_sensor: return sensor(arg, cfg);
	case opt_sensor_unit: return unit(opt, arg, &cfg.sensor_unit);
	case opt_sensor_field: cfg.sensor_field = arg; return true;
	case opt_unit: return unit(opt, arg, &cfg.unit);
	case opt_heater: return heater(arg, cfg);
	case opt_heater_on: cfg.heater_on = arg; return true;
	case opt_heater_off: cfg.heater_off = arg; return true;
	case opt_heater_state: return topic(opt, arg, cfg.heater_state);
	case opt_period: return positive(opt, arg, &cfg.period_s);
	case opt_sensor_timeout: return positive(opt, arg, &cfg.sensor_timeout_s);
	case opt_min: min_set = true; return number_in(opt, arg, -1e6, 1e6, &cfg.min);
	case opt_max: max_set = true; return number_in(opt, arg, -1e6, 1e6, &cfg.max);
	case opt_heat_check: return number_in(opt, arg, 0, 1e9, &cfg.heat_check_s);
	case opt_heat_gain: return number_in(opt, arg, 0, 1e6, &cfg.heat_gain);
	case opt_max_on: return number_in(opt, arg, 0, 1e9, &cfg.max_on_s);
	case opt_lost_duty: return number_in(opt, arg, 0, 100, &cfg.lost_duty_pct);
	case opt_temp_file: cfg.temp_file = arg; return true;
	case opt_status_file: cfg.status_file = arg; return true;
	case opt_duration: return number_in(opt, arg, 0, 1e9, &cfg.duration_s);
	case opt_switch_off: cfg.switch_off = true; return true;
	case opt_daemon: cfg.daemonize = true; return true;
	case opt_mqtt: return mqtt_url(arg, cfg);
	case opt_mqtt_user: cfg.mqtt_user = arg; return true;
	case opt_mqtt_password_file: return password_file(arg, cfg);
	case opt_mqtt_ca: cfg.mqtt_ca = arg; return true;
	case opt_zone: return zone(arg, cfg);
	case opt_ha_prefix: return topic(opt, arg, cfg.ha_prefix);
	default: return false;  // getopt_long has said what is wrong
	}
}

// What no single option can tell: settings that need one another.
bool consistent(Config &cfg, bool min_set, bool max_set)
{
	if (!min_set)
		cfg.min = convert(celsius_min, Unit::celsius, cfg.unit);
	if (!max_set)
		cfg.max = convert(celsius_max, Unit::celsius, cfg.unit);
	if (cfg.min >= cfg.max)
		return bad(opt_max, "must be above --min", std::to_string(cfg.max).c_str());
	bool on_bus = cfg.sensor == SensorKind::mqtt || cfg.heater == HeaterKind::mqtt;
	if (on_bus && cfg.mqtt_host.empty())
		return bad(cfg.sensor == SensorKind::mqtt ? opt_sensor : opt_heater, "needs --mqtt",
		           cfg.sensor == SensorKind::mqtt ? cfg.sensor_arg.c_str() : cfg.heater_arg.c_str());
	if (!cfg.heater_state.empty() && cfg.heater != HeaterKind::mqtt)
		return bad(opt_heater_state, "needs an mqtt: heater", cfg.heater_state.c_str());
	if (cfg.heater == HeaterKind::mqtt && !topic(opt_heater, cfg.heater_arg.c_str(), cfg.heater_arg))
		return false;
	if (!cfg.mqtt_ca.empty() && !cfg.mqtt_tls)
		return bad(opt_mqtt_ca, "needs an mqtts:// URL", cfg.mqtt_ca.c_str());
	return true;
}

} // namespace

double convert(double t, Unit from, Unit to)
{
	if (from == to)
		return t;
	if (to == Unit::fahrenheit)
		return t * 9 / 5 + 32;
	return (t - 32) * 5 / 9;
}

bool parse_config(int argc, char **argv, Config &cfg)
{
	std::vector<std::string> args;
	if (!expand(argc, argv, args))
		return false;
	std::vector<char *> av(args.size() + 1, nullptr);
	std::transform(args.begin(), args.end(), av.begin(), [](std::string &a) { return a.data(); });

	bool min_set = false, max_set = false;
	optind = 1;
	for (int opt; (opt = getopt_long(static_cast<int>(args.size()), av.data(), "", options, nullptr)) != -1;) {
		if (opt == opt_help) {
			std::fputs(usage, stdout);
			std::exit(0);
		}
		if (!take(opt, optarg, cfg, min_set, max_set))
			return false;
	}
	if (optind < static_cast<int>(args.size())) {
		std::fprintf(stderr, "ombrixd: takes no arguments, only options: \"%s\"\n", av[optind]);
		return false;
	}
	return consistent(cfg, min_set, max_set);
}
