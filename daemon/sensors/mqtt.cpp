// mqtt:TOPIC: readings that a device publishes on the broker, in
// --sensor-unit; the bus parses and posts them (bus/topics.cpp).
#include "kinds.h"

extern const SensorKind mqtt_sensor = {.name = "mqtt", .arg = "TOPIC", .celsius = false, .on_bus = true,
                                .read = nullptr};
