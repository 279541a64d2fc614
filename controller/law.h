// The thermostat's law, which the controller applies and the daemon holds
// it to: ON below on_below, OFF above off_above, and in between the command
// stays as it is.  Temperatures are in the unit the daemon publishes and
// are compared strictly, in single precision.
#pragma once

namespace law {

inline constexpr float on_below = 69.0f;
inline constexpr float off_above = 75.0f;
inline constexpr unsigned period_s = 5;  // the controller's cycle

} // namespace law
