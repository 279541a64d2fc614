// The one-shot verbs, each with the small configuration it reads and
// nothing else, so that no option it does not use can stop it.  Each
// returns the exit status.
#pragma once

#include <string>

#include "config.h"

// What --set-target and --set-mode keep, and where.
struct KeepRequest {
	std::string state_dir;
	Unit unit;
	double target;       // NaN: not given
	std::string mode;    // "": not given
};

// The request in cfg, when it holds one: --set-target or --set-mode.
bool keep_request(const Config &cfg, KeepRequest *r);

// Keeps the setting in the state folder, over what was kept before, for
// the running daemon to take on a reload and the next one at its start.
int keep_setting(const KeepRequest &r);

// What --switch-off reads of cfg: the heater's options, and the broker's
// for a heater on the bus; the rest as if never given.
Config heater_options(const Config &cfg);

// Switches the heater OFF once, through its driver, as the end of a daemon
// does: what ExecStopPost runs, whatever else the zone's options got wrong.
int switch_off(const Config &heater);
