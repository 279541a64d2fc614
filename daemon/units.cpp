#include "units.h"

#include <cstring>

double convert(double t, Unit from, Unit to)
{
	if (from == to)
		return t;
	if (to == Unit::fahrenheit)
		return t * 9 / 5 + 32;
	return (t - 32) * 5 / 9;
}

const char *unit_name(Unit u)
{
	return u == Unit::fahrenheit ? "F" : "C";
}

bool parse_unit(const char *text, Unit *u)
{
	if (std::strcmp(text, "C") == 0)
		*u = Unit::celsius;
	else if (std::strcmp(text, "F") == 0)
		*u = Unit::fahrenheit;
	else
		return false;
	return true;
}

const char *unit_sign(Unit u)
{
	return u == Unit::fahrenheit ? "\u00b0F" : "\u00b0C";
}

const char *mode_name(Mode m)
{
	return m == Mode::off ? "off" : "heat";
}

bool parse_mode(const char *text, Mode *m)
{
	if (std::strcmp(text, "heat") == 0)
		*m = Mode::heat;
	else if (std::strcmp(text, "off") == 0)
		*m = Mode::off;
	else
		return false;
	return true;
}
