// Settings made at run time (from the hub or on the board), kept in the
// zone's state folder so that they outlive a restart, a crash, SIGKILL and
// a power cut.  The file, DIR/setpoint, holds name=value lines: unit, and
// the target and the mode where they were set.  It is replaced whole (a
// new file, fsync, rename, fsync of the folder), so that a cut at any
// instant leaves the old file or the new one.  Its writers (the daemon's
// keeper, the board's command) take the folder's lock and change only the
// fields they set, so that neither loses what the other wrote.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "config.h"

class Mailbox;

inline constexpr const char *stored_name = "setpoint";

// What was set at run time; what was not, the zone's options say.
struct Stored {
	bool has_target = false;
	double target = 0;   // in the unit it was loaded or is saved in
	bool has_mode = false;
	Mode mode = Mode::heat;
};

// The fields that change sets, over s.  Inline: the mailbox, which gathers
// saves, is built without the store.
inline void overlay(Stored &s, const Stored &change)
{
	if (change.has_target) {
		s.has_target = true;
		s.target = change.target;
	}
	if (change.has_mode) {
		s.has_mode = true;
		s.mode = change.mode;
	}
}

enum class Load { none, ok, bad };  // no file; read; unreadable, corrupt or not trusted

// Reads DIR/setpoint into *got, its target in unit u.  A symbolic link is
// not followed, and a file of another user, or in a folder that others
// can write, is not trusted.  On Load::bad, *why is a constant text
// saying why.
Load load_stored(const std::string &dir, Unit u, Stored *got, const char **why);

// Replaces DIR/setpoint with s, its target in unit u.  Returns nullptr, or
// why it failed (the old file then stands).  Run as root (the board's
// command), the file goes to the folder's owner, whose daemon reads it.
const char *save_stored(const std::string &dir, Unit u, const Stored &s);

// Changes in DIR/setpoint the fields that change sets, over what the file
// holds at that instant (a file that is missing or bad is replaced whole),
// under the folder's lock.  Returns nullptr, or why it failed.
const char *keep_stored(const std::string &dir, Unit u, const Stored &change);

// Removes the new files that a writer killed during a save left behind,
// under the folder's lock.  Returns how many.
unsigned clean_stored(const std::string &dir);

// Saves and loads on a thread of its own, so that a slow or hung disk holds
// up that thread alone, never the rules.  A change from the hub is saved
// at once, unless the last save was less than save_interval ago: then what
// changed meanwhile is saved at that mark, the latest value of each field.
// Each save posts what it kept, or that it could not; each load what it
// found.
class Keeper {
public:
	static constexpr std::chrono::seconds save_interval{2};
	static constexpr std::chrono::seconds stop_wait{2};

	Keeper(const Config &cfg, Mailbox &mb);  // starts the thread

	// Keeps the fields that change sets, over the file as it is by then.
	// Without a state folder, nothing.
	void save(const Stored &change);
	// Reads the file again, after any save asked before (at once, then).
	void load();
	// The end: what waits is saved at once.  Waits up to wait for it;
	// whether it was done.  Nothing is saved after.
	bool flush(std::chrono::milliseconds wait);

private:
	[[noreturn]] void run();
	void save_now(const Stored &change);

	const Config &cfg_;
	Mailbox &mb_;
	std::mutex lock_;
	std::condition_variable wake_;
	std::condition_variable idle_;
	Stored change_;          // from the hub, not yet in the file
	bool due_ = false;       // change_ waits for a save
	bool load_ = false;      // a load waits
	bool busy_ = false;      // the thread is at the disk
	bool ending_ = false;    // the daemon ends: no more waiting for the mark
	bool gone_ = false;      // the end stopped waiting: say nothing more
	std::chrono::steady_clock::time_point next_save_{};
	const char *failing_ = nullptr;  // why saves fail, said once
};
