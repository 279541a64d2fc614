// The daemon's one clock: monotonic seconds, which every deadline counts in.
#pragma once

#include <cerrno>
#include <ctime>

inline double clock_s()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until the monotonic time t, signals or not.
inline void sleep_until(double t)
{
	timespec ts;
	ts.tv_sec = static_cast<time_t>(t);
	ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
	}
}
