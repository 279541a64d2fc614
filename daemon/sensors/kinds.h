// What the sensor kinds' files share: a reading, good or bad, a file's
// text, and a number of millidegrees.  Only the sensors include this.
#pragma once

#include "sensor.h"

Reading good_reading(float value);
Reading bad_reading(const char *why);

// The reading in the file at path, as parse reads its text.
Reading read_file(const char *path, bool (*parse)(const char *, float *, const char **));

// An integer of millidegrees from p up to end, blanks around it allowed.
bool millidegrees(const char *p, const char *end, long *milli, const char **why);

inline constexpr float millidegrees_per_degree = 1000;
