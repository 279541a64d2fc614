#include "setpoint.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double target_min_f = 45, target_max_f = 86;  // °F
constexpr double target_min_c = 7, target_max_c = 30;   // °C
constexpr double margin_f = 5, margin_c = 3;           // above the band's top

// A width, not a temperature: no offset between the units.
double width_in(double w_f, Unit u)
{
	return u == Unit::fahrenheit ? w_f : w_f * 5 / 9;
}

} // namespace

double default_target(Unit u)
{
	return convert(controller_mid, Unit::fahrenheit, u);
}

double default_band(Unit u)
{
	return width_in(controller_width, u);
}

double default_target_min(Unit u)
{
	return u == Unit::fahrenheit ? target_min_f : target_min_c;
}

double default_target_max(Unit u)
{
	return u == Unit::fahrenheit ? target_max_f : target_max_c;
}

float to_controller(const Setpoint &sp, float r)
{
	// Exact for the controller's own band: r - 72 and its sixfold fit a
	// double whole, so a °F reading comes out as it went in.
	return static_cast<float>(controller_mid + (static_cast<double>(r) - sp.target) * controller_width / sp.band);
}

double band_top(const Setpoint &sp)
{
	return sp.target + sp.band / 2;
}

double high_limit(const Config &cfg, const Setpoint &sp)
{
	if (!std::isnan(cfg.high_limit))
		return cfg.high_limit;
	double margin = cfg.unit == Unit::fahrenheit ? margin_f : margin_c;
	double top = largest_target(cfg) + cfg.band / 2;
	return std::fmin(band_top(sp), top) + margin;
}

double largest_target(const Config &cfg)
{
	if (std::isnan(cfg.high_limit))
		return cfg.target_max;
	// refuse_target() refuses from limit - band/2 up: the last tenth
	// below that, one tenth lower where the edge is a tenth itself.
	double tenths = std::floor((cfg.high_limit - cfg.band / 2) * 10);
	double t = tenths / 10;
	if (t + cfg.band / 2 >= cfg.high_limit)
		t = (tenths - 1) / 10;
	return std::fmin(t, cfg.target_max);
}

const char *refuse_target(const Config &cfg, double t, double w)
{
	if (!std::isfinite(t) || t < cfg.target_min || t > cfg.target_max)
		return "outside --target-min and --target-max";
	if (!std::isnan(cfg.high_limit) && t + w / 2 >= cfg.high_limit)
		return "the band's top reaches --high-limit";
	return nullptr;
}

Setpoint configured(const Config &cfg)
{
	return Setpoint{cfg.target, cfg.band, cfg.mode};
}
