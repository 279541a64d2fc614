// The person's band on the controller's scale: its edges land on the
// controller's thresholds in either unit, and the controller's own band
// leaves every reading as it was.
#include <cmath>

#include <gtest/gtest.h>

#include "law.h"
#include "setpoint.h"

namespace {

struct Edge {
	Unit unit;
	double target, band;
	float reading;
	float published;
};

class Mapping : public ::testing::TestWithParam<Edge> {};

TEST_P(Mapping, PutsTheBandsEdgesOnTheControllers)
{
	const Edge &e = GetParam();
	EXPECT_FLOAT_EQ(to_controller(Setpoint{e.target, e.band, Mode::heat}, e.reading), e.published);
}

INSTANTIATE_TEST_SUITE_P(Edges, Mapping, ::testing::Values(
	Edge{Unit::fahrenheit, 72, 6, 69, law::on_below}, Edge{Unit::fahrenheit, 72, 6, 75, law::off_above},
	Edge{Unit::fahrenheit, 64, 4, 62, law::on_below}, Edge{Unit::fahrenheit, 64, 4, 66, law::off_above},
	Edge{Unit::fahrenheit, 64, 4, 64, 72},
	Edge{Unit::celsius, 21, 1, 20.5f, law::on_below}, Edge{Unit::celsius, 21, 1, 21.5f, law::off_above},
	Edge{Unit::celsius, 17, 2, 16, law::on_below}, Edge{Unit::celsius, 17, 2, 18, law::off_above},
	Edge{Unit::celsius, 17, 2, 30, 111}));

TEST(Mapping, TheDefaultBandsAreTheControllersInEitherUnit)
{
	for (Unit u : {Unit::fahrenheit, Unit::celsius}) {
		Setpoint sp{default_target(u), default_band(u), Mode::heat};
		float on = static_cast<float>(convert(law::on_below, Unit::fahrenheit, u));
		float off = static_cast<float>(convert(law::off_above, Unit::fahrenheit, u));
		EXPECT_NEAR(to_controller(sp, on), law::on_below, 1e-4);
		EXPECT_NEAR(to_controller(sp, off), law::off_above, 1e-4);
	}
}

// A °F zone that sets nothing publishes each reading bit for bit as before.
TEST(Mapping, TheControllersOwnBandChangesNoReading)
{
	Setpoint sp{default_target(Unit::fahrenheit), default_band(Unit::fahrenheit), Mode::heat};
	for (float r = -40; r <= 200; r = std::nextafter(r + 0.01f, 1000.0f))
		ASSERT_EQ(to_controller(sp, r), r) << r;
}

// The zone's file bounds the heat: whatever target comes, the default
// high limit stays at or below what its largest target gives.
struct Zone {
	Unit unit;
	double target_max, band, explicit_limit;  // NaN: no --high-limit
	double target;                            // the target that applies
	double largest, limit;
};

void PrintTo(const Zone &z, std::ostream *os)
{
	*os << (z.unit == Unit::fahrenheit ? "F" : "C") << " target-max " << z.target_max << " band " << z.band
	    << " high-limit " << z.explicit_limit << " target " << z.target;
}

Config zone(const Zone &z)
{
	Config cfg;
	cfg.unit = z.unit;
	cfg.target_min = z.unit == Unit::fahrenheit ? 45 : 7;
	cfg.target_max = z.target_max;
	cfg.band = z.band;
	cfg.high_limit = z.explicit_limit;
	return cfg;
}

class Bounds : public ::testing::TestWithParam<Zone> {};

TEST_P(Bounds, TheLargestTargetAndTheHighLimit)
{
	const Zone &z = GetParam();
	Config cfg = zone(z);
	EXPECT_DOUBLE_EQ(largest_target(cfg), z.largest);
	EXPECT_EQ(refuse_target(cfg, largest_target(cfg), z.band), nullptr) << "the largest is taken";
	EXPECT_NE(refuse_target(cfg, largest_target(cfg) + 0.1, z.band), nullptr) << "and nothing above it";
	EXPECT_DOUBLE_EQ(high_limit(cfg, Setpoint{z.target, z.band, Mode::heat}), z.limit);
}

INSTANTIATE_TEST_SUITE_P(Zones, Bounds, ::testing::Values(
	Zone{Unit::fahrenheit, 86, 6, NAN, 72, 86, 80},      // the defaults
	Zone{Unit::fahrenheit, 86, 6, NAN, 86, 86, 94},      // the highest a hub may set
	Zone{Unit::fahrenheit, 86, 6, NAN, 120, 86, 94},     // above it, still bounded by the zone's file
	Zone{Unit::fahrenheit, 75, 6, NAN, 90, 75, 83},
	Zone{Unit::celsius, 30, 1, NAN, 40, 30, 33.5},
	Zone{Unit::fahrenheit, 86, 6, 80, 72, 76.9, 80},     // 77 and above reach the limit
	Zone{Unit::fahrenheit, 86, 5, 80, 72, 77.4, 80},
	Zone{Unit::celsius, 30, 1, 25, 21, 24.4, 25},
	Zone{Unit::celsius, 30, 1.3, 25, 21, 24.3, 25},
	Zone{Unit::fahrenheit, 70, 6, 95, 70, 70, 95}));     // --target-max below the limit's

} // namespace
