// The command line of ombrixd and the files that --config names, parsed
// once into a Config through one table of options.  Names must be given
// whole: an abbreviation is an unknown option.  A value comes only from its
// own word (--name=value or --name value) or its own line (name=value).
#include "config.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "kit/file.h"
#include "kit/number.h"
#include "kit/text.h"
#include "heaters/heater.h"
#include "sensors/sensor.h"
#include "setpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double celsius_min = -10, celsius_max = 50;  // default plausible range, °C
constexpr int mqtt_port = 1883, mqtts_port = 8883;
constexpr size_t password_max = 4096;                  // bytes
constexpr size_t password_file_max = size_t{64} * 1024; // bytes of the file it is the first line of
constexpr size_t config_max = size_t{64} * 1024;        // bytes of a --config file
constexpr size_t config_line_max = 1024;               // bytes of one of its lines
constexpr int usage_column = 27;                       // where the help texts start

struct Option;

// What the parse has found so far.
struct Parse {
	Config &cfg;
	std::string errors;    // a line for each fault
	bool help = false;
	bool ok = true;
	bool heater_ok = true;
	bool plug_ok = true;   // the options only an mqtt: heater needs
};

// One option as given, for its parser and its messages.
struct Arg {
	const Option &opt;
	const char *value;   // nullptr for a flag
	const char *where;   // "" on the command line, "FILE:LINE: " in a file
};

// Reads a.value into p.cfg; false after saying in one line what is wrong.
using Read = bool (*)(const Arg &a, Parse &p);

// One line of the table; read sets the member it names, if any.
struct Option {
	const char *name;
	const char *value = nullptr;     // its name in the usage; nullptr: a flag
	const char *help;                // nullptr: kinds() says it
	std::string (*kinds)() = nullptr;  // the kinds of sensor or heater there are
	const char *fallback = nullptr;  // the default, as it would be given; nullptr: none
	Read read;
	bool names_heater = false;       // --switch-off needs it
	bool plug_only = false;          // ... but only for an mqtt: heater
	double Config::*number = nullptr;
	double lo = 0, hi = 0;           // the range of a number
	std::string Config::*text = nullptr;
	Unit Config::*unit = nullptr;
	bool Config::*flag = nullptr;
};

// Adds one line to what the parse says.
void say(Parse &p, const std::string &line)
{
	p.errors += "ombrixd: " + line + "\n";
	p.ok = false;
}

bool bad(const Arg &a, Parse &p, const char *why)
{
	std::string line = std::string(a.where) + "--" + a.opt.name + ": " + why;
	say(p, a.value ? line + ": \"" + a.value + "\"" : line);
	return false;
}

bool read_number(const Arg &a, Parse &p)
{
	double v;
	if (!parse_number(a.value, &v))
		return bad(a, p, "not a number");
	if (v < a.opt.lo || v > a.opt.hi) {
		char why[80];
		std::snprintf(why, sizeof why, "out of range, %g to %g", a.opt.lo, a.opt.hi);
		return bad(a, p, why);
	}
	p.cfg.*a.opt.number = v;
	return true;
}

bool read_text(const Arg &a, Parse &p)
{
	p.cfg.*a.opt.text = a.value;
	return true;
}

bool read_flag(const Arg &a, Parse &p)
{
	p.cfg.*a.opt.flag = true;
	return true;
}

bool read_unit(const Arg &a, Parse &p)
{
	if (!parse_unit(a.value, &(p.cfg.*a.opt.unit)))
		return bad(a, p, "not C or F");
	return true;
}

// --mode, or --set-mode, which keeps the text it checked.
bool read_mode(const Arg &a, Parse &p)
{
	Mode m;
	if (!parse_mode(a.value, &m))
		return bad(a, p, "not heat or off");
	if (a.opt.text)
		p.cfg.*a.opt.text = a.value;
	else
		p.cfg.mode = m;
	return true;
}

bool read_path(const Arg &a, Parse &p)
{
	if (!*a.value)
		return bad(a, p, "an empty path");
	p.cfg.*a.opt.text = a.value;
	return true;
}

// Splits "kind:argument" into the kind's row and its argument, which only
// a kind that takes none (sim) may go without; false when it does not fit.
template <typename Kind>
bool read_kind(const Arg &a, Parse &p, const Kind *(*find_kind)(std::string_view), const Kind *&kind,
               std::string &arg)
{
	std::string_view text = a.value;
	size_t colon = text.find(':');
	const Kind *k = find_kind(text.substr(0, colon));
	arg = colon == std::string_view::npos ? "" : std::string(text.substr(colon + 1));
	bool whole = colon == std::string_view::npos ? k && !k->arg : !arg.empty();
	if (!whole)
		return bad(a, p, "not sim or KIND:ARGUMENT");
	if (!k)
		return bad(a, p, "unknown kind");
	kind = k;
	return true;
}

bool read_sensor(const Arg &a, Parse &p)
{
	return read_kind(a, p, find_sensor, p.cfg.sensor, p.cfg.sensor_arg);
}

bool read_heater(const Arg &a, Parse &p)
{
	return read_kind(a, p, find_heater, p.cfg.heater, p.cfg.heater_arg);
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; an IPv6 address in brackets.
bool read_broker(const Arg &a, Parse &p)
{
	std::string_view url = a.value;
	if (url.starts_with("mqtt://")) {
		p.cfg.mqtt_tls = false;
		url.remove_prefix(7);
	} else if (url.starts_with("mqtts://")) {
		p.cfg.mqtt_tls = true;
		url.remove_prefix(8);
	} else {
		return bad(a, p, "not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
	}
	std::string_view host = url, port;
	if (url.starts_with("[")) {
		size_t close = url.find(']');
		if (close == std::string_view::npos)
			return bad(a, p, "no closing ] after the address");
		host = url.substr(1, close - 1);
		std::string_view rest = url.substr(close + 1);
		if (!rest.empty() && !rest.starts_with(":"))
			return bad(a, p, "text after the address");
		port = rest.empty() ? rest : rest.substr(1);
	} else if (size_t colon = url.find(':'); colon != std::string_view::npos) {
		host = url.substr(0, colon);
		port = url.substr(colon + 1);
		if (port.empty())
			return bad(a, p, "no port after the colon");
	}
	if (host.empty() || host.find_first_of("/?#@ ") != std::string_view::npos)
		return bad(a, p, "not a host name");
	p.cfg.mqtt_host = host;
	p.cfg.mqtt_port = p.cfg.mqtt_tls ? mqtts_port : mqtt_port;
	if (port.empty())
		return true;
	double n;
	if (!parse_number(port, &n) || n < 1 || n > 65535 || n != std::floor(n))
		return bad(a, p, "not a port from 1 to 65535");
	p.cfg.mqtt_port = static_cast<int>(n);
	return true;
}

// Zone names become parts of topics and unique ids.
bool read_zone(const Arg &a, Parse &p)
{
	size_t n = std::strlen(a.value);
	if (n == 0 || std::strspn(a.value, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != n)
		return bad(a, p, "use letters, digits, - and _");
	p.cfg.zone = a.value;
	return true;
}

// A topic to publish to, or a prefix of topics: no wildcards.
bool read_topic(const Arg &a, Parse &p)
{
	if (std::strpbrk(a.value, "+#"))
		return bad(a, p, "no wildcards allowed");
	p.cfg.*a.opt.text = a.value;
	return true;
}

bool read_config(const Arg &a, Parse &p);
bool read_help(const Arg &a, Parse &p);

// Every option, in the order the usage lists them.
const Option options[] = {
	{.name = "config", .value = "FILE", .help = "read options from FILE, one name=value a line",
	 .read = read_config, .names_heater = true},
	{.name = "sensor", .value = "SENSOR",
	 .help = nullptr, .kinds = sensor_usage, .fallback = "sim",
	 .read = read_sensor},
	{.name = "sensor-unit", .value = "C|F", .help = "unit of file:, exec: and mqtt: readings",
	 .fallback = "C", .read = read_unit, .unit = &Config::sensor_unit},
	{.name = "sensor-field", .value = "PATH", .help = "dotted path of the number in a JSON payload",
	 .read = read_text, .text = &Config::sensor_field},
	{.name = "unit", .value = "F|C", .help = "unit of every temperature given or shown", .fallback = "F",
	 .read = read_unit, .unit = &Config::unit},
	{.name = "target", .value = "T", .help = "middle of the band the heater keeps (72 °F, 22.2 °C)",
	 .read = read_number, .number = &Config::target, .lo = -1e6, .hi = 1e6},
	// The largest target and the band bound the default high limit: a
	// room's, in either unit (the old Celsius band, 69 to 75, still fits).
	{.name = "band", .value = "W", .help = "width of that band, above 0, up to 20 (6 °F, 3.3 °C)",
	 .read = read_number, .number = &Config::band, .lo = 0, .hi = 20},
	{.name = "target-min", .value = "T", .help = "lowest target that may be set, 0 to 100 (45 °F, 7 °C)",
	 .read = read_number, .number = &Config::target_min, .lo = 0, .hi = 100},
	{.name = "target-max", .value = "T", .help = "highest target that may be set, 0 to 100 (86 °F, 30 °C)",
	 .read = read_number, .number = &Config::target_max, .lo = 0, .hi = 100},
	{.name = "mode", .value = "heat|off", .help = "off holds the heater OFF", .fallback = "heat",
	 .read = read_mode},
	{.name = "heater", .value = "HEATER", .help = nullptr, .kinds = heater_usage, .fallback = "sim",
	 .read = read_heater, .names_heater = true},
	{.name = "heater-on", .value = "TEXT", .help = "mqtt: payload for ON", .fallback = "ON",
	 .read = read_text, .text = &Config::heater_on},
	{.name = "heater-off", .value = "TEXT", .help = "mqtt: payload for OFF", .fallback = "OFF",
	 .read = read_text, .names_heater = true, .plug_only = true, .text = &Config::heater_off},
	{.name = "heater-state", .value = "TOPIC", .help = "mqtt: topic where the plug reports its state",
	 .read = read_topic, .text = &Config::heater_state},
	{.name = "period", .value = "S", .help = "seconds between readings", .fallback = "5",
	 .read = read_number, .number = &Config::period_s, .lo = 0.1, .hi = 3600},
	{.name = "sensor-timeout", .value = "S",
	 .help = "seconds without a good reading before heater OFF, above --period", .fallback = "60",
	 .read = read_number, .number = &Config::sensor_timeout_s, .lo = 0.1, .hi = 604800},
	{.name = "min", .value = "T", .help = "lowest plausible reading (-10 °C)",
	 .read = read_number, .number = &Config::min, .lo = -1e6, .hi = 1e6},
	{.name = "max", .value = "T", .help = "highest plausible reading (50 °C)",
	 .read = read_number, .number = &Config::max, .lo = -1e6, .hi = 1e6},
	{.name = "high-limit", .value = "T",
	 .help = "heater OFF above this reading whatever the command (band's top + 5 °F, 3 °C)",
	 .read = read_number, .number = &Config::high_limit, .lo = -1e6, .hi = 1e6},
	{.name = "heat-check", .value = "S", .help = "seconds ON within which the heat must rise, 0 for none",
	 .fallback = "1800", .read = read_number, .number = &Config::heat_check_s, .lo = 0, .hi = 604800},
	{.name = "heat-gain", .value = "T", .help = "rise expected per heat check",
	 .fallback = "1", .read = read_number, .number = &Config::heat_gain, .lo = 0, .hi = 100},
	{.name = "max-on", .value = "S", .help = "longest ON stretch in seconds, 0 for none", .fallback = "0",
	 .read = read_number, .number = &Config::max_on_s, .lo = 0, .hi = 604800},
	{.name = "min-off", .value = "S", .help = "seconds the heater stays OFF before it may come ON again",
	 .fallback = "120", .read = read_number, .number = &Config::min_off_s, .lo = 0, .hi = 3600},
	{.name = "lost-duty", .value = "P", .help = "percent of each 10 minutes ON while the sensor is lost",
	 .fallback = "0", .read = read_number, .number = &Config::lost_duty_pct, .lo = 0, .hi = 100},
	{.name = "temp-file", .value = "PATH", .help = "temperature file", .fallback = "/tmp/temp",
	 .read = read_path, .text = &Config::temp_file},
	{.name = "status-file", .value = "PATH", .help = "status file", .fallback = "/tmp/status",
	 .read = read_path, .text = &Config::status_file},
	{.name = "duration", .value = "S", .help = "stop after S seconds, 0 for never", .fallback = "0",
	 .read = read_number, .number = &Config::duration_s, .lo = 0, .hi = 1e9},
	{.name = "switch-off", .help = "switch the heater OFF once and exit", .read = read_flag,
	 .flag = &Config::switch_off},
	{.name = "state-dir", .value = "DIR", .help = "where settings made at run time are kept ($STATE_DIRECTORY)",
	 .read = read_path, .text = &Config::state_dir},
	{.name = "set-target", .value = "T", .help = "keep T as the target in --state-dir and exit",
	 .read = read_number, .number = &Config::set_target, .lo = -1e6, .hi = 1e6},
	{.name = "set-mode", .value = "heat|off", .help = "keep the mode in --state-dir and exit",
	 .read = read_mode, .text = &Config::set_mode},
	{.name = "daemon", .help = "run in the background", .read = read_flag, .flag = &Config::daemonize},
	{.name = "mqtt", .value = "URL", .help = "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]", .read = read_broker,
	 .names_heater = true, .plug_only = true},
	{.name = "mqtt-user", .value = "NAME", .help = "user name at the broker", .read = read_text,
	 .names_heater = true, .plug_only = true, .text = &Config::mqtt_user},
	{.name = "mqtt-password-file", .value = "FILE", .help = "file holding the broker password",
	 .read = read_path, .names_heater = true, .plug_only = true, .text = &Config::mqtt_password_file},
	{.name = "mqtt-ca", .value = "FILE", .help = "CA certificate for mqtts", .read = read_path,
	 .names_heater = true, .plug_only = true, .text = &Config::mqtt_ca},
	{.name = "zone", .value = "NAME", .help = "this thermostat's name on the bus", .fallback = "default",
	 .read = read_zone},
	{.name = "ha-prefix", .value = "PREFIX", .help = "discovery prefix, empty for none",
	 .fallback = "homeassistant", .read = read_topic, .text = &Config::ha_prefix},
	{.name = "help", .help = "print this and exit", .read = read_help},
};

bool read_help(const Arg &, Parse &p)
{
	p.help = true;
	return true;
}

const Option *find(std::string_view name)
{
	const Option *o = std::find_if(std::begin(options), std::end(options),
	                               [&](const Option &x) { return name == x.name; });
	return o == std::end(options) ? nullptr : o;
}

// A bad o: --switch-off may not know the heater.
void unname(Parse &p, const Option &o)
{
	if (o.names_heater)
		(o.plug_only ? p.plug_ok : p.heater_ok) = false;
}

// Gives one option its value, or says what is wrong with it.
void apply(Parse &p, const Option &o, const char *value, const char *where)
{
	Arg a{o, value, where};
	bool good;
	if (o.value && !value)
		good = bad(a, p, "needs a value");
	else if (!o.value && value)
		good = bad(a, p, "takes no value");
	else
		good = o.read(a, p);
	p.ok = p.ok && good;
	if (!good)
		unname(p, o);
}

// One line of a --config file: "name=value", or "name" for a flag; blank
// lines and lines beginning with # are skipped.
void apply_line(Parse &p, std::string_view line, const char *where)
{
	line = trim(line);
	if (line.empty() || line[0] == '#')
		return;
	size_t eq = line.find('=');
	std::string name(trim(line.substr(0, eq)));
	std::string value = eq == std::string_view::npos ? "" : std::string(trim(line.substr(eq + 1)));
	const Option *o = find(name);
	if (!o || o->read == read_config || o->read == read_help) {
		say(p, std::string(where) + "not an option for a file: \"" + name + "\"");
		return;
	}
	apply(p, *o, eq == std::string_view::npos ? nullptr : value.c_str(), where);
}

// Opens a --config file that is a regular file, so that a FIFO or a device
// planted in its place can neither hang the start nor flood it.
FILE *open_config(const Arg &a, Parse &p)
{
	const char *why = nullptr;
	int fd = open_regular(a.value, O_RDONLY | O_NOFOLLOW, config_max, &why);
	FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
	if (fd >= 0 && !f) {
		why = std::strerror(errno);
		close(fd);
	}
	if (!f)
		bad(a, p, why == file_too_long ? "longer than 64 KiB" : why);
	return f;
}

// Applies the lines of the file a names, where --config stands; false
// when it cannot be read.  Each line's problems are its own option's.
bool read_config(const Arg &a, Parse &p)
{
	FILE *f = open_config(a, p);
	if (!f)
		return false;
	char line[config_line_max];
	for (int n = 1; std::fgets(line, sizeof line, f); n++) {
		std::string where = std::string(a.value) + ":" + std::to_string(n) + ": ";
		if (!std::strchr(line, '\n') && !std::feof(f)) {
			say(p, where + "a line longer than " + std::to_string(sizeof line - 2) + " bytes");
			for (int c = 0; c != '\n' && c != EOF;)
				c = std::fgetc(f);  // the rest of it; the next line counts again
			continue;
		}
		apply_line(p, line, where.c_str());
	}
	std::fclose(f);
	return true;
}

// What no single option can tell: settings that need one another.  Each
// check names the option to fix.
void check_together(Parse &p)
{
	Config &cfg = p.cfg;
	if (std::isnan(cfg.min))
		cfg.min = convert(celsius_min, Unit::celsius, cfg.unit);
	if (std::isnan(cfg.max))
		cfg.max = convert(celsius_max, Unit::celsius, cfg.unit);
	if (std::isnan(cfg.target))
		cfg.target = default_target(cfg.unit);
	if (std::isnan(cfg.band))
		cfg.band = default_band(cfg.unit);
	if (std::isnan(cfg.target_min))
		cfg.target_min = default_target_min(cfg.unit);
	if (std::isnan(cfg.target_max))
		cfg.target_max = default_target_max(cfg.unit);
	const char *state_directory = std::getenv("STATE_DIRECTORY");
	if (cfg.state_dir.empty() && state_directory)  // systemd's, the first of a list
		cfg.state_dir.assign(state_directory, std::strcspn(state_directory, ":"));
	// A target is checked against bounds and a band that are good.
	bool checkable = cfg.band > 0 && cfg.target_min < cfg.target_max;
	const char *target_why = checkable ? refuse_target(cfg, cfg.target, cfg.band) : nullptr;
	bool setting = !std::isnan(cfg.set_target) || !cfg.set_mode.empty();
	const char *set_why = checkable && !std::isnan(cfg.set_target) ? refuse_target(cfg, cfg.set_target, cfg.band)
	                                                               : nullptr;
	const struct {
		bool wrong;
		const char *option, *why;
	} checks[] = {
		{cfg.min >= cfg.max, "max", "must be above --min"},
		{!(cfg.band > 0), "band", "must be above 0"},
		{cfg.target_min >= cfg.target_max, "target-max", "must be above --target-min"},
		{target_why != nullptr, "target", target_why},
		{set_why != nullptr, "set-target", set_why},
		{setting && cfg.state_dir.empty(), "state-dir", "needed to keep a setting"},
		{cfg.sensor_timeout_s <= cfg.period_s, "sensor-timeout", "must be above --period"},
		{sensor_on_bus(cfg) && cfg.mqtt_host.empty(), "sensor", "needs --mqtt"},
		{heater_on_bus(cfg) && cfg.mqtt_host.empty(), "heater", "needs --mqtt"},
		{heater_on_bus(cfg) && std::strpbrk(cfg.heater_arg.c_str(), "+#"), "heater", "no wildcards allowed"},
		{!cfg.heater_state.empty() && !heater_on_bus(cfg), "heater-state", "needs an mqtt: heater"},
		{!cfg.mqtt_ca.empty() && !cfg.mqtt_tls, "mqtt-ca", "needs an mqtts:// URL"},
	};
	for (const auto &c : checks)
		if (c.wrong) {
			const Option &o = *find(c.option);
			bad(Arg{o, nullptr, ""}, p, c.why);
			unname(p, o);
		}
}

} // namespace

ParseResult parse_config(int argc, char **argv, Config &cfg)
{
	Parse p{cfg, {}};
	for (const Option &o : options)
		if (o.fallback)
			apply(p, o, o.fallback, "the default ");
	for (int i = 1; i < argc; i++) {
		std::string_view word = argv[i];
		if (!word.starts_with("--")) {
			say(p, std::string("takes no arguments, only options: \"") + argv[i] + "\"");
			continue;
		}
		size_t eq = word.find('=');
		const Option *o = find(word.substr(2, eq == std::string_view::npos ? eq : eq - 2));
		if (!o) {
			say(p, "unknown option \"" + std::string(word.substr(0, eq)) + "\"");
			continue;
		}
		const char *value = eq == std::string_view::npos ? nullptr : argv[i] + eq + 1;
		// A value in a word of its own, unless that word is the next option.
		if (o->value && !value && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
			value = argv[++i];
		apply(p, *o, value, "");
		if (p.help)
			return ParseResult{true, true, true, p.errors};
	}
	check_together(p);
	return ParseResult{p.ok, p.heater_ok && (p.plug_ok || !heater_on_bus(cfg)), false, p.errors};
}

// The password is the file's first line.
std::string read_password(Config &cfg)
{
	if (cfg.mqtt_password_file.empty())
		return "";
	const char *path = cfg.mqtt_password_file.c_str();
	auto bad = [&](const char *why) {
		return std::string("ombrixd: --mqtt-password-file: ") + why + ": \"" + path + "\"\n";
	};
	const char *why = nullptr;
	int fd = open_regular(path, O_RDONLY | O_NOFOLLOW, password_file_max, &why);
	if (fd < 0)
		return bad(why);
	char text[password_max + 2];  // one more than a password, and its newline
	ssize_t n;
	do
		n = read(fd, text, sizeof text);
	while (n < 0 && errno == EINTR);
	int err = errno;
	close(fd);
	if (n < 0)
		return bad(std::strerror(err));
	std::string_view got(text, static_cast<size_t>(n));
	got = got.substr(0, got.find_first_of("\r\n"));
	if (got.size() > password_max)
		return bad("a password longer than 4096 bytes");
	cfg.mqtt_password = got;
	return "";
}

std::string usage()
{
	std::string text = "usage: ombrixd [options]\n";
	for (const Option &o : options) {
		std::string line = std::string("  --") + o.name + (o.value ? " " : "") + (o.value ? o.value : "");
		line.resize(std::max(line.size() + 1, static_cast<size_t>(usage_column)), ' ');
		line += o.help ? o.help : o.kinds();
		if (o.fallback && *o.fallback)
			line += std::string(" (") + o.fallback + ")";
		text += line + "\n";
	}
	return text;
}
