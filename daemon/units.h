// The words of a setting that the options, the kept setting and the bus
// all write: a unit of temperature and a mode.
#pragma once

enum class Unit { celsius, fahrenheit };
enum class Mode { heat, off };          // off: heater OFF, the controller runs on

// Degrees in unit `to` for t degrees in unit `from`.
double convert(double t, Unit from, Unit to);
// "F" or "C", as the options and the state file write a unit;
// parse_unit() returns false for anything else.
const char *unit_name(Unit u);
bool parse_unit(const char *text, Unit *u);
// "°F" or "°C", as a person reads it.
const char *unit_sign(Unit u);

// "heat" or "off"; parse_mode() returns false for anything else.
const char *mode_name(Mode m);
bool parse_mode(const char *text, Mode *m);
