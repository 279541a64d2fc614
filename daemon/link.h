// The daemon's side of the two files it shares with the controller, each
// on a thread of its own.  The library's calls block for their waits and
// retries (a write up to 63 s, a read at least a second and up to 126 s),
// and neither may hold up the other or the supervisor.
#pragma once

#include <condition_variable>
#include <mutex>

struct Config;
class Mailbox;

// Publishes temperatures to the controller and posts each one it got.
class Publisher {
public:
	Publisher(const Config &cfg, Mailbox &mb);  // starts the thread
	Publisher(const Publisher &) = delete;
	Publisher &operator=(const Publisher &) = delete;

	// Publishes t once the publish under way is done; a newer t replaces
	// one still waiting.
	void offer(float t);

private:
	[[noreturn]] void run();

	const Config &cfg_;
	Mailbox &mb_;
	std::mutex lock_;
	std::condition_variable wake_;
	float temp_ = 0;
	bool fresh_ = false;
};

// Reads the controller's command every period on a thread of its own, and
// posts it: ON, OFF or unknown with the reason.
void start_reading(const Config &cfg, Mailbox &mb);
