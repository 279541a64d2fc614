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

} // namespace
