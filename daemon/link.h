// The daemon's side of the two files it shares with the controller, each
// on a thread of its own.  The library's calls block for their waits and
// retries (a write up to 63 s, a read at least a second and up to 126 s),
// and neither may hold up the other or the supervisor.
#pragma once

#include "kit/latest.h"

struct Config;
class Mailbox;

// Publishes temperatures to the controller and posts each one it got.
class Publisher {
public:
	Publisher(const Config &cfg, Mailbox &mb);  // starts the thread

	// Publishes t once the publish under way is done; a newer t replaces
	// one still waiting.
	void offer(float t) { latest_.give(t); }

private:
	void publish(float t);

	const Config &cfg_;
	Mailbox &mb_;
	Latest<float> latest_;
};

// Reads the controller's command every period on a thread of its own, and
// posts it: ON, OFF or unknown with the reason.
void start_reading(const Config &cfg, Mailbox &mb);
