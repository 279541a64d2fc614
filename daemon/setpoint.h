// What a person sets: a target and a band around it, in the person's unit
// (--unit), and a mode.  The controller's band is compiled in (law.h); the
// daemon moves the person's band onto it by publishing each reading as
//
//     mid + (reading - target) * width / band
//
// where mid and width are the controller's, so that the controller
// switches ON below target - band/2 and OFF above target + band/2 with
// its own hysteresis.  This is the one place that knows the arithmetic.
#pragma once

#include "config.h"
#include "law.h"

// The controller's band, °F: its middle and its width.
inline constexpr double controller_mid = (law::on_below + law::off_above) / 2.0;
inline constexpr double controller_width = law::off_above - law::on_below;

struct Setpoint {
	double target = 0;   // the person's unit
	double band = 0;     // its width, > 0
	Mode mode = Mode::heat;
};

// The band the controller has of its own, in unit u: 69 to 75 °F.
double default_target(Unit u);
double default_band(Unit u);
// Bounds of a target set at run time, by default: 45 to 86 °F, 7 to 30 °C.
double default_target_min(Unit u);
double default_target_max(Unit u);

// The reading r, in the person's unit, on the controller's scale.  With the
// controller's own band (°F, 72 and 6) each reading comes out unchanged.
float to_controller(const Setpoint &sp, float r);
// The top of the band, where the controller switches OFF.
double band_top(const Setpoint &sp);

// Where the high-limit rule trips: --high-limit when given, else the
// band's top plus a margin (5 °F, 3 °C), so that it follows the target,
// but never above where the largest target the zone accepts puts it:
// whatever target comes, the zone's file bounds the heat.
double high_limit(const Config &cfg, const Setpoint &sp);

// The largest target the zone accepts, to a tenth of a degree: --target-max,
// or below it where the band's top would reach a given --high-limit.  What
// a hub is offered as the highest it may set.
double largest_target(const Config &cfg);

// Why target t (with band width w) may not be set under cfg, or nullptr
// when it may: it lies outside --target-min and --target-max, or the
// band's top reaches an explicit --high-limit.
const char *refuse_target(const Config &cfg, double t, double w);

// The settings a zone starts from: those of its options.
Setpoint configured(const Config &cfg);
