// Settings made at run time (from the hub or on the board), kept in the
// zone's state folder so that they outlive a restart, a crash, SIGKILL and
// a power cut.  The file, DIR/setpoint, holds name=value lines: unit, and
// the target and the mode where they were set.  It is replaced whole (a
// new file, fsync, rename, fsync of the folder), so that a cut at any
// instant leaves the old file or the new one.
#pragma once

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

enum class Load { none, ok, bad };  // no file; read; unreadable or corrupt

// Reads DIR/setpoint into *got, its target in unit u.  On Load::bad, *why
// is a constant text saying why.
Load load_stored(const std::string &dir, Unit u, Stored *got, const char **why);

// Replaces DIR/setpoint with s, its target in unit u.  Returns nullptr, or
// why it failed (the old file then stands).  Run as root (the board's
// command), the file goes to the folder's owner, whose daemon reads it.
const char *save_stored(const std::string &dir, Unit u, const Stored &s);

// Saves and loads on a thread of its own, so that a slow or hung disk holds
// up that thread alone, never the rules.  Each load posts what it found.
class Keeper {
public:
	Keeper(const Config &cfg, Mailbox &mb);  // starts the thread, if there is a folder
	Keeper(const Keeper &) = delete;
	Keeper &operator=(const Keeper &) = delete;

	// Saves s once the save under way is done; a newer s replaces one
	// still waiting.
	void save(const Stored &s);
	// Reads the file again, after any save asked before.
	void load();

private:
	[[noreturn]] void run();

	const Config &cfg_;
	Mailbox &mb_;
	std::mutex lock_;
	std::condition_variable wake_;
	Stored stored_;
	bool to_save_ = false;
	bool to_load_ = false;
};
