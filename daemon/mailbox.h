// What the other threads tell the supervisor: the sensor thread (or the
// bus) its readings, the publisher each temperature the controller got,
// the reader the command, the driver how each switch went, the bus the
// heater's own report, each new connection and whether another daemon
// holds the zone; the bus a target or mode set from the hub, and the
// keeper what it kept in the state folder and what it loaded from it.  Only the latest of each
// kind is kept.  Posting never blocks for long; the supervisor waits on
// fd().
#pragma once

#include <mutex>

#include "rules.h"
#include "store.h"

struct Inbox {
	bool has_reading = false;
	float reading = 0;            // the sensor's own unit; NaN when bad
	const char *why = nullptr;    // constant text: why it is bad
	bool has_published = false;
	float published = 0;          // published unit
	double published_s = 0;       // when, monotonic
	bool has_command = false;
	rules::Command command = rules::Command::none;
	const char *command_why = nullptr;  // constant text: why it is unknown
	bool has_switched = false;
	bool switched_on = false;     // the switch asked for
	bool switched_ok = false;     // whether the heater took it
	const char *switch_why = nullptr;   // constant text: why it did not
	bool has_report = false;
	bool report = false;          // the heater says it is ON
	bool connected = false;       // the bus (re)connected since the last take
	bool has_duplicate = false;
	bool duplicate = false;       // another daemon holds the zone on the bus
	bool has_set_target = false;  // from the hub, unchecked
	double set_target = 0;        // --unit
	bool has_set_mode = false;
	Mode set_mode = Mode::heat;
	bool has_kept = false;        // the keeper saved what the hub set, or tried
	Stored kept;                  // the fields now in the file, of all saves since the last take
	bool kept_ok = true;          // whether the last save worked
	bool has_loaded = false;      // the keeper read the state folder again
	Load loaded = Load::none;
	Stored stored;
	const char *loaded_why = nullptr;   // constant text: why it is bad
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
	// Does not wake the supervisor: only publish-failed looks at it, which
	// has its own deadline, and the next reading comes within a period.
	void post_published(float t, double when_s);
	void post_command(rules::Command c, const char *why);
	void post_switched(bool on, bool ok, const char *why);
	void post_report(bool on);
	void post_connected();
	void post_duplicate(bool held_elsewhere);
	void post_set_target(double t);
	void post_set_mode(Mode m);
	// The fields of s are in the file (ok), or could not be put there.
	void post_kept(const Stored &s, bool ok);
	void post_loaded(Load l, const Stored &s, const char *why);

	// Everything posted since the last call, and the fd drained.
	Inbox take();

private:
	// Runs fill on the box under the lock, then wakes the supervisor.
	template <typename Fill>
	void post(Fill fill, bool wake = true);

	std::mutex lock_;
	Inbox box_;
	int fd_;
};
