// The heater kinds' rows, each defined in its own file.  Only the heaters
// include this.
#pragma once

#include "heater.h"

extern const HeaterKind sim_heater, file_heater, exec_heater, mqtt_heater;
