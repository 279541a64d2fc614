// The daemon's one clock: monotonic seconds, which every deadline counts in.
#pragma once

#include <ctime>

inline double clock_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
