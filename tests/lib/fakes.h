// The library's waits and reports, caught: the test binary defines its own
// sleep() and syslog(), which record each call and never wait.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct Calls {
	std::vector<unsigned> sleeps;
	std::vector<std::string> logs;  // each message as formatted
	std::vector<int> priorities;
	std::function<void(size_t)> on_sleep;  // runs at the nth sleep (from 1)
	bool interrupted = false;  // sleeps return early with EINTR, as after a signal
};

// What the library did since the last reset().
Calls &calls();
void reset();

// The retry reports the library logs for a failed attempt: err as the
// system words it, shown the number in the message.
std::string failed_read(int err, int shown);
std::string failed_write(int err, int shown);
