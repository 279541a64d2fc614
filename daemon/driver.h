// Switches the heater on a thread of its own: a switch can take up to
// exec_heater_timeout_s (an exec: command), and no rule may wait for it.
// The supervisor says what it wants; how each switch went comes back
// through the mailbox.  A want for the other state cancels a switch under
// way, so that an OFF never waits behind a slow ON.
#pragma once

#include <condition_variable>
#include <mutex>

struct Heater;
class Mailbox;

class Driver {
public:
	// Starts the thread, which drives h alone from then on.
	Driver(Heater &h, Mailbox &mb);
	Driver(const Driver &) = delete;
	Driver &operator=(const Driver &) = delete;

	// The start's OFF, before anything is wanted: switches the heater OFF
	// and waits for it.  Returns whether it took the OFF; *why says why not.
	bool first_off(const char **why);

	// Asks for the heater ON or OFF: again, when it was asked before, as a
	// retry or a resend.
	void want(bool on);

	// The end: cancels what runs, gives the heater its last OFF (for a plug,
	// one the broker acknowledged) and waits up to timeout_s for that.  Returns whether the heater took the OFF; *why
	// says why not.  Nothing is switched after.
	bool stop(double timeout_s, const char **why);

private:
	void run();
	void cancel_if_busy_with(bool on);

	const Heater &heater_;
	Mailbox &mb_;
	std::mutex lock_;
	std::condition_variable wake_, stopped_;
	bool pending_ = false;   // a want not yet begun
	bool wanted_ = false;
	bool busy_ = false;      // a switch under way
	bool busy_on_ = false;
	bool stopping_ = false;
	bool done_ = false;      // the last switch, OFF, is over
	bool off_ok_ = false;
	const char *off_why_ = nullptr;
	int cancel_fd_;          // an eventfd, readable while a switch is to be given up
};
