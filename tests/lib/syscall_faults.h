// Failures to inject into the library's system calls, queued per call:
// each call takes the next outcome, 0 meaning "pass through".
#pragma once

#include <cstdio>
#include <deque>

struct Faults {
	static constexpr int short_write = -1;  // write one byte only
	std::deque<int> write, ftruncate, close, fstat, fdopen;
};

Faults &faults();
