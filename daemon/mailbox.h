// What the other threads tell the supervisor: the sensor thread (or the
// bus) its readings, the exchange thread the command, the bus the heater's
// own report, each new connection and that another daemon holds the zone.  Only the latest of each kind is
// kept.  Posting never blocks for long; the supervisor waits on fd().
#pragma once

#include <mutex>

#include "rules.h"

struct Inbox {
	bool has_reading = false;
	float reading = 0;            // the sensor's own unit; NaN when bad
	const char *why = nullptr;    // constant text: why it is bad
	bool has_command = false;
	rules::Command command = rules::Command::none;
	bool has_report = false;
	bool report = false;          // the heater says it is ON
	bool connected = false;       // the bus (re)connected since the last take
	bool duplicate = false;       // another daemon holds the zone on the bus
};

class Mailbox {
public:
	Mailbox();   // exits at start-up when no eventfd can be made
	~Mailbox();
	Mailbox(const Mailbox &) = delete;
	Mailbox &operator=(const Mailbox &) = delete;

	// Readable when something was posted since the last take().
	int fd() const { return fd_; }

	void post_reading(float value, const char *why);
	void post_command(rules::Command c);
	void post_report(bool on);
	void post_connected();
	void post_duplicate();

	// Everything posted since the last call, and the fd drained.
	Inbox take();

private:
	void wake();

	std::mutex lock_;
	Inbox box_;
	int fd_;
};
