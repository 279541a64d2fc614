// ombrixd's heaters.  Each kind is one row, defined in a file of its own
// (sim.cpp, file.cpp, ...) and listed once in heater.cpp's table: its name
// in --heater, its argument, how it opens, switches and takes its last
// OFF.  Only the driver (driver.h) switches a heater, but for the crash
// handler's last word (off_in_signal).
#pragma once

#include <string>
#include <string_view>

#include "config.h"

class Room;
class Bus;
struct Heater;

struct HeaterKind {
	const char *name;       // before the colon in --heater
	const char *arg;        // what follows it, as --help names it; nullptr: nothing
	bool on_bus;            // its commands go through the broker (--mqtt)
	bool resends;           // it forgets: the command goes again every period
	// Sets up what h needs of cfg, its room and bus set already; false
	// after printing one line on a fatal problem.
	bool (*open)(const Config &cfg, Heater &h);
	// Switches it; false with a constant text in *why when it did not take
	// the command.  An exec: command gives up as soon as cancel_fd (when
	// not -1) polls readable.
	bool (*drive)(const Heater &h, bool on, double now_s, int cancel_fd, const char **why);
	// The last OFF, at the end: taken for sure, or false with *why.
	// nullptr: drive's OFF is that already.
	bool (*last_off)(const Heater &h, const char **why);
	// The OFF of a crashing daemon, with async-signal-safe calls only;
	// nullptr where there are none to do it with.
	void (*off_in_signal)(const Heater &h);
};

// Whether cfg's heater takes its commands through the broker.
inline bool heater_on_bus(const Config &cfg)
{
	return cfg.heater && cfg.heater->on_bus;
}

// The kind of that name, or nullptr.
const HeaterKind *find_heater(std::string_view name);
// Every kind as --help shows it: "sim | file:PATH | ...".
std::string heater_usage();

// Set up at start-up; driven by the driver alone.
struct Heater {
	const HeaterKind *kind = nullptr;
	int fd = -1;                 // file: open for the life of the daemon
	std::string on_command;      // exec: "COMMAND on" and "COMMAND off"
	std::string off_command;
	Room *room = nullptr;        // sim
	Bus *bus = nullptr;          // mqtt
};

inline constexpr double exec_heater_timeout_s = 10;
// The longest the end's OFF may take: an exec: command's whole time, and a
// second.
inline constexpr double last_off_wait_s = exec_heater_timeout_s + 1;

// Makes the heater that cfg names (file: a path that does not exist is
// never created, and one that is not a regular file, as sysfs attributes
// are, is refused: a FIFO at once, reader or not), as its kind opens it.
bool open_heater(const Config &cfg, Room *room, Bus *bus, Heater &h);

// Switches the heater ON or OFF as its kind does: file: writes "1\n" or
// "0\n", exec: runs its command with "on" or "off" (exec_heater_timeout_s
// at most, less when cancel_fd polls readable first), mqtt: publishes the
// payload.  Returns true when it took the command; false with a constant
// text in *why when it did not (to be tried again).
bool drive_heater(const Heater &h, bool on, double now_s, int cancel_fd, const char **why);

// The end's OFF: for a plug, acknowledged by the broker.
bool last_heater_off(const Heater &h, const char **why);

// Whether the heater forgets: a plug on the bus gets the command again
// every period, so that one that rebooted or missed a message takes it.
bool heater_resends(const Heater &h);

// For a fatal signal: switches a file: heater OFF with async-signal-safe
// calls only.  Does nothing for the other kinds.
void heater_off_in_signal(const Heater &h);
