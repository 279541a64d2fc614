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

// Parses a.value into p.cfg; false after printing one line on a bad value.
using Take = bool (*)(const Arg &a, Parse &p);

// One line of the table; take reads the member it names, if any.
struct Option {
	const char *name;
	const char *value = nullptr;     // its name in the usage; nullptr: a flag
	const char *help;
	const char *fallback = nullptr;  // the default, as it would be given; nullptr: none
	Take take;
	bool names_heater = false;       // --switch-off needs it
	bool plug_only = false;          // ... but only for an mqtt: heater
	double Config::*number = nullptr;
	double lo = 0, hi = 0;           // the range of a number
	std::string Config::*text = nullptr;
	Unit Config::*unit = nullptr;
	bool Config::*flag = nullptr;
};

bool bad(const Arg &a, const char *why)
{
	if (a.value)
		std::fprintf(stderr, "ombrixd: %s--%s: %s: \"%s\"\n", a.where, a.opt.name, why, a.value);
	else
		std::fprintf(stderr, "ombrixd: %s--%s: %s\n", a.where, a.opt.name, why);
	return false;
}

bool take_number(const Arg &a, Parse &p)
{
	double v;
	if (!parse_number(a.value, &v))
		return bad(a, "not a number");
	if (v < a.opt.lo || v > a.opt.hi) {
		char why[80];
		std::snprintf(why, sizeof why, "out of range, %g to %g", a.opt.lo, a.opt.hi);
		return bad(a, why);
	}
	p.cfg.*a.opt.number = v;
	return true;
}

bool take_text(const Arg &a, Parse &p)
{
	p.cfg.*a.opt.text = a.value;
	return true;
}

bool take_flag(const Arg &a, Parse &p)
{
	p.cfg.*a.opt.flag = true;
	return true;
}

bool take_unit(const Arg &a, Parse &p)
{
	if (!parse_unit(a.value, &(p.cfg.*a.opt.unit)))
		return bad(a, "not C or F");
	return true;
}

// --mode, or --set-mode, which keeps the text it checked.
bool take_mode(const Arg &a, Parse &p)
{
	Mode m;
	if (!parse_mode(a.value, &m))
		return bad(a, "not heat or off");
	if (a.opt.text)
		p.cfg.*a.opt.text = a.value;
	else
		p.cfg.mode = m;
	return true;
}

bool take_path(const Arg &a, Parse &p)
{
	if (!*a.value)
		return bad(a, "an empty path");
	p.cfg.*a.opt.text = a.value;
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

// A kind of sensor or heater, by its name before the colon.
template <typename Kind>
struct Named {
	const char *name;
	Kind kind;
};

constexpr Named<SensorKind> sensor_kinds[] = {
	{"sim", SensorKind::sim}, {"hwmon", SensorKind::hwmon}, {"w1", SensorKind::w1},
	{"file", SensorKind::file}, {"exec", SensorKind::exec}, {"mqtt", SensorKind::mqtt}};
constexpr Named<HeaterKind> heater_kinds[] = {
	{"sim", HeaterKind::sim}, {"file", HeaterKind::file}, {"exec", HeaterKind::exec},
	{"mqtt", HeaterKind::mqtt}};

template <typename Kind, size_t n>
bool take_kind(const Arg &a, const Named<Kind> (&kinds)[n], Kind &kind, std::string &arg)
{
	std::string name;
	if (!split_spec(a.value, name, arg))
		return bad(a, "not sim or KIND:ARGUMENT");
	const Named<Kind> *k = std::find_if(kinds, kinds + n, [&](const Named<Kind> &x) { return name == x.name; });
	if (k == kinds + n)
		return bad(a, "unknown kind");
	kind = k->kind;
	return true;
}

bool take_sensor(const Arg &a, Parse &p)
{
	return take_kind(a, sensor_kinds, p.cfg.sensor, p.cfg.sensor_arg);
}

bool take_heater(const Arg &a, Parse &p)
{
	return take_kind(a, heater_kinds, p.cfg.heater, p.cfg.heater_arg);
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; an IPv6 address in brackets.
bool take_mqtt(const Arg &a, Parse &p)
{
	std::string_view url = a.value;
	if (url.starts_with("mqtt://")) {
		p.cfg.mqtt_tls = false;
		url.remove_prefix(7);
	} else if (url.starts_with("mqtts://")) {
		p.cfg.mqtt_tls = true;
		url.remove_prefix(8);
	} else {
		return bad(a, "not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
	}
	std::string_view host = url, port;
	if (url.starts_with("[")) {
		size_t close = url.find(']');
		if (close == std::string_view::npos)
			return bad(a, "no closing ] after the address");
		host = url.substr(1, close - 1);
		std::string_view rest = url.substr(close + 1);
		if (!rest.empty() && !rest.starts_with(":"))
			return bad(a, "text after the address");
		port = rest.empty() ? rest : rest.substr(1);
	} else if (size_t colon = url.find(':'); colon != std::string_view::npos) {
		host = url.substr(0, colon);
		port = url.substr(colon + 1);
		if (port.empty())
			return bad(a, "no port after the colon");
	}
	if (host.empty() || host.find_first_of("/?#@ ") != std::string_view::npos)
		return bad(a, "not a host name");
	p.cfg.mqtt_host = host;
	p.cfg.mqtt_port = p.cfg.mqtt_tls ? mqtts_port : mqtt_port;
	if (port.empty())
		return true;
	double n;
	if (!parse_number(port, &n) || n < 1 || n > 65535 || n != std::floor(n))
		return bad(a, "not a port from 1 to 65535");
	p.cfg.mqtt_port = static_cast<int>(n);
	return true;
}

// The password is the file's first line.
bool take_password_file(const Arg &a, Parse &p)
{
	const char *why = nullptr;
	int fd = open_regular(a.value, O_RDONLY, password_file_max, &why);
	if (fd < 0)
		return bad(a, why);
	char text[password_max + 2];  // one more than a password, and its newline
	ssize_t n;
	do
		n = read(fd, text, sizeof text);
	while (n < 0 && errno == EINTR);
	int err = errno;
	close(fd);
	if (n < 0)
		return bad(a, std::strerror(err));
	std::string_view got(text, static_cast<size_t>(n));
	got = got.substr(0, got.find_first_of("\r\n"));
	if (got.size() > password_max)
		return bad(a, "a password longer than 4096 bytes");
	p.cfg.mqtt_password = got;
	return true;
}

// Zone names become parts of topics and unique ids.
bool take_zone(const Arg &a, Parse &p)
{
	size_t n = std::strlen(a.value);
	if (n == 0 || std::strspn(a.value, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != n)
		return bad(a, "use letters, digits, - and _");
	p.cfg.zone = a.value;
	return true;
}

// A topic to publish to, or a prefix of topics: no wildcards.
bool take_topic(const Arg &a, Parse &p)
{
	if (std::strpbrk(a.value, "+#"))
		return bad(a, "no wildcards allowed");
	p.cfg.*a.opt.text = a.value;
	return true;
}

bool take_config(const Arg &a, Parse &p);
bool take_help(const Arg &a, Parse &p);

// Every option, in the order the usage lists them.
const Option options[] = {
	{.name = "config", .value = "FILE", .help = "read options from FILE, one name=value a line",
	 .take = take_config, .names_heater = true},
	{.name = "sensor", .value = "SENSOR",
	 .help = "sim | hwmon:PATH | w1:PATH | file:PATH | exec:COMMAND | mqtt:TOPIC", .fallback = "sim",
	 .take = take_sensor},
	{.name = "sensor-unit", .value = "C|F", .help = "unit of file:, exec: and mqtt: readings",
	 .fallback = "C", .take = take_unit, .unit = &Config::sensor_unit},
	{.name = "sensor-field", .value = "PATH", .help = "dotted path of the number in a JSON payload",
	 .take = take_text, .text = &Config::sensor_field},
	{.name = "unit", .value = "F|C", .help = "unit of every temperature given or shown", .fallback = "F",
	 .take = take_unit, .unit = &Config::unit},
	{.name = "target", .value = "T", .help = "middle of the band the heater keeps (72 °F, 22.2 °C)",
	 .take = take_number, .number = &Config::target, .lo = -1e6, .hi = 1e6},
	{.name = "band", .value = "W", .help = "width of that band, above 0 (6 °F, 3.3 °C)",
	 .take = take_number, .number = &Config::band, .lo = -1e6, .hi = 1e6},
	{.name = "target-min", .value = "T", .help = "lowest target that may be set (45 °F, 7 °C)",
	 .take = take_number, .number = &Config::target_min, .lo = -1e6, .hi = 1e6},
	{.name = "target-max", .value = "T", .help = "highest target that may be set (86 °F, 30 °C)",
	 .take = take_number, .number = &Config::target_max, .lo = -1e6, .hi = 1e6},
	{.name = "mode", .value = "heat|off", .help = "off holds the heater OFF", .fallback = "heat",
	 .take = take_mode},
	{.name = "heater", .value = "HEATER", .help = "sim | file:PATH | exec:COMMAND | mqtt:TOPIC",
	 .fallback = "sim", .take = take_heater, .names_heater = true},
	{.name = "heater-on", .value = "TEXT", .help = "mqtt: payload for ON", .fallback = "ON",
	 .take = take_text, .text = &Config::heater_on},
	{.name = "heater-off", .value = "TEXT", .help = "mqtt: payload for OFF", .fallback = "OFF",
	 .take = take_text, .names_heater = true, .plug_only = true, .text = &Config::heater_off},
	{.name = "heater-state", .value = "TOPIC", .help = "mqtt: topic where the plug reports its state",
	 .take = take_topic, .text = &Config::heater_state},
	{.name = "period", .value = "S", .help = "seconds between readings", .fallback = "5",
	 .take = take_number, .number = &Config::period_s, .lo = 0.1, .hi = 3600},
	{.name = "sensor-timeout", .value = "S",
	 .help = "seconds without a good reading before heater OFF, above --period", .fallback = "60",
	 .take = take_number, .number = &Config::sensor_timeout_s, .lo = 0.1, .hi = 604800},
	{.name = "min", .value = "T", .help = "lowest plausible reading (-10 °C)",
	 .take = take_number, .number = &Config::min, .lo = -1e6, .hi = 1e6},
	{.name = "max", .value = "T", .help = "highest plausible reading (50 °C)",
	 .take = take_number, .number = &Config::max, .lo = -1e6, .hi = 1e6},
	{.name = "high-limit", .value = "T",
	 .help = "heater OFF above this reading whatever the command (band's top + 5 °F, 3 °C)",
	 .take = take_number, .number = &Config::high_limit, .lo = -1e6, .hi = 1e6},
	{.name = "heat-check", .value = "S", .help = "seconds ON within which the heat must rise, 0 for none",
	 .fallback = "1800", .take = take_number, .number = &Config::heat_check_s, .lo = 0, .hi = 604800},
	{.name = "heat-gain", .value = "T", .help = "rise expected per heat check",
	 .fallback = "1", .take = take_number, .number = &Config::heat_gain, .lo = 0, .hi = 100},
	{.name = "max-on", .value = "S", .help = "longest ON stretch in seconds, 0 for none", .fallback = "0",
	 .take = take_number, .number = &Config::max_on_s, .lo = 0, .hi = 604800},
	{.name = "lost-duty", .value = "P", .help = "percent of each 10 minutes ON while the sensor is lost",
	 .fallback = "0", .take = take_number, .number = &Config::lost_duty_pct, .lo = 0, .hi = 100},
	{.name = "temp-file", .value = "PATH", .help = "temperature file", .fallback = "/tmp/temp",
	 .take = take_path, .text = &Config::temp_file},
	{.name = "status-file", .value = "PATH", .help = "status file", .fallback = "/tmp/status",
	 .take = take_path, .text = &Config::status_file},
	{.name = "duration", .value = "S", .help = "stop after S seconds, 0 for never", .fallback = "0",
	 .take = take_number, .number = &Config::duration_s, .lo = 0, .hi = 1e9},
	{.name = "switch-off", .help = "switch the heater OFF once and exit", .take = take_flag,
	 .flag = &Config::switch_off},
	{.name = "state-dir", .value = "DIR", .help = "where settings made at run time are kept ($STATE_DIRECTORY)",
	 .take = take_path, .text = &Config::state_dir},
	{.name = "set-target", .value = "T", .help = "keep T as the target in --state-dir and exit",
	 .take = take_number, .number = &Config::set_target, .lo = -1e6, .hi = 1e6},
	{.name = "set-mode", .value = "heat|off", .help = "keep the mode in --state-dir and exit",
	 .take = take_mode, .text = &Config::set_mode},
	{.name = "daemon", .help = "run in the background", .take = take_flag, .flag = &Config::daemonize},
	{.name = "mqtt", .value = "URL", .help = "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]", .take = take_mqtt,
	 .names_heater = true, .plug_only = true},
	{.name = "mqtt-user", .value = "NAME", .help = "user name at the broker", .take = take_text,
	 .names_heater = true, .plug_only = true, .text = &Config::mqtt_user},
	{.name = "mqtt-password-file", .value = "FILE", .help = "file holding the broker password",
	 .take = take_password_file, .names_heater = true, .plug_only = true},
	{.name = "mqtt-ca", .value = "FILE", .help = "CA certificate for mqtts", .take = take_path,
	 .names_heater = true, .plug_only = true, .text = &Config::mqtt_ca},
	{.name = "zone", .value = "NAME", .help = "this thermostat's name on the bus", .fallback = "default",
	 .take = take_zone},
	{.name = "ha-prefix", .value = "PREFIX", .help = "discovery prefix, empty for none",
	 .fallback = "homeassistant", .take = take_topic, .text = &Config::ha_prefix},
	{.name = "help", .help = "print this and exit", .take = take_help},
};

bool take_help(const Arg &, Parse &)
{
	std::fputs("usage: ombrixd [options]\n", stdout);
	for (const Option &o : options) {
		int n = std::printf("  --%s%s%s", o.name, o.value ? " " : "", o.value ? o.value : "");
		std::printf("%*s%s", n < usage_column ? usage_column - n : 1, "", o.help);
		if (o.fallback && *o.fallback)
			std::printf(" (%s)", o.fallback);
		std::fputs("\n", stdout);
	}
	std::exit(0);
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
		good = bad(a, "needs a value");
	else if (!o.value && value)
		good = bad(a, "takes no value");
	else
		good = o.take(a, p);
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
	if (!o || o->take == take_config || o->take == take_help) {
		std::fprintf(stderr, "ombrixd: %snot an option for a file: \"%s\"\n", where, name.c_str());
		p.ok = false;
		return;
	}
	apply(p, *o, eq == std::string_view::npos ? nullptr : value.c_str(), where);
}

// Opens a --config file that is a regular file, so that a FIFO or a device
// planted in its place can neither hang the start nor flood it.
FILE *open_config(const Arg &a)
{
	const char *why = nullptr;
	int fd = open_regular(a.value, O_RDONLY, config_max, &why);
	FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
	if (fd >= 0 && !f) {
		why = std::strerror(errno);
		close(fd);
	}
	if (!f)
		bad(a, why == file_too_long ? "longer than 64 KiB" : why);
	return f;
}

// Applies the lines of the file a names, where --config stands; false
// when it cannot be read.  Each line's problems are its own option's.
bool take_config(const Arg &a, Parse &p)
{
	FILE *f = open_config(a);
	if (!f)
		return false;
	char line[config_line_max];
	for (int n = 1; std::fgets(line, sizeof line, f); n++) {
		std::string where = std::string(a.value) + ":" + std::to_string(n) + ": ";
		if (!std::strchr(line, '\n') && !std::feof(f)) {
			std::fprintf(stderr, "ombrixd: %sa line longer than %zu bytes\n", where.c_str(), sizeof line - 2);
			p.ok = false;
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
		{cfg.sensor == SensorKind::mqtt && cfg.mqtt_host.empty(), "sensor", "needs --mqtt"},
		{cfg.heater == HeaterKind::mqtt && cfg.mqtt_host.empty(), "heater", "needs --mqtt"},
		{cfg.heater == HeaterKind::mqtt && std::strpbrk(cfg.heater_arg.c_str(), "+#"), "heater",
		 "no wildcards allowed"},
		{!cfg.heater_state.empty() && cfg.heater != HeaterKind::mqtt, "heater-state",
		 "needs an mqtt: heater"},
		{!cfg.mqtt_ca.empty() && !cfg.mqtt_tls, "mqtt-ca", "needs an mqtts:// URL"},
	};
	for (const auto &c : checks)
		if (c.wrong) {
			const Option &o = *find(c.option);
			bad(Arg{o, nullptr, ""}, c.why);
			p.ok = false;
			unname(p, o);
		}
}

} // namespace

ParseResult parse_config(int argc, char **argv, Config &cfg)
{
	Parse p{cfg};
	for (const Option &o : options)
		if (o.fallback)
			apply(p, o, o.fallback, "the default ");
	for (int i = 1; i < argc; i++) {
		std::string_view word = argv[i];
		if (!word.starts_with("--")) {
			std::fprintf(stderr, "ombrixd: takes no arguments, only options: \"%s\"\n", argv[i]);
			p.ok = false;
			continue;
		}
		size_t eq = word.find('=');
		const Option *o = find(word.substr(2, eq == std::string_view::npos ? eq : eq - 2));
		if (!o) {
			std::fprintf(stderr, "ombrixd: unknown option \"%.*s\"\n", static_cast<int>(word.substr(0, eq).size()),
			             argv[i]);
			p.ok = false;
			continue;
		}
		const char *value = eq == std::string_view::npos ? nullptr : argv[i] + eq + 1;
		// A value in a word of its own, unless that word is the next option.
		if (o->value && !value && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
			value = argv[++i];
		apply(p, *o, value, "");
	}
	check_together(p);
	return ParseResult{p.ok, p.heater_ok && (p.plug_ok || cfg.heater != HeaterKind::mqtt)};
}
