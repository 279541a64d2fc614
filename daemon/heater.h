// ombrixd's heaters: one function per kind switches it.
#pragma once

#include <string>

#include "config.h"

class Room;
class Bus;

// Set up at start-up; driven by the supervisor thread only.
struct Heater {
	HeaterKind kind = HeaterKind::sim;
	int fd = -1;                 // file: open for the life of the daemon
	std::string on_command;      // exec: "COMMAND on" and "COMMAND off"
	std::string off_command;
	Room *room = nullptr;        // sim
	Bus *bus = nullptr;          // mqtt
};

inline constexpr double exec_heater_timeout_s = 10;

// Makes the heater that cfg names.  A fatal problem (a file: path that does
// not exist: it is never created; or is not a regular file, as sysfs
// attributes are: a FIFO is refused at once, reader or not) is printed as
// one line and gives false.
bool open_heater(const Config &cfg, Room *room, Bus *bus, Heater &h);

// Switches the heater ON or OFF: file: writes "1\n" or "0\n", exec: runs
// its command with "on" or "off" (exec_heater_timeout_s at most, less when
// cancel_fd polls readable first).  Returns true when it took the command;
// false with a constant text in *why when it did not (to be tried again).
bool drive_heater(Heater &h, bool on, double now_s, int cancel_fd, const char **why);

// Whether the heater forgets: a plug on the bus gets the command again
// every period, so that one that rebooted or missed a message takes it.
bool heater_resends(const Heater &h);

// For a fatal signal: switches a file: heater OFF with async-signal-safe
// calls only.  Does nothing for the other kinds.
void heater_off_in_signal(const Heater &h);
