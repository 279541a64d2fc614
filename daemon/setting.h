// The setting a zone runs: the target, band and mode that apply, where they
// came from (the zone's options, or a person at run time), and how a new
// one is taken.  The one place that decides which target holds now.
#pragma once

#include "config.h"
#include "setpoint.h"
#include "store.h"

struct Setting {
	Setpoint sp;      // as it applies now
	Stored kept;      // what of it was set at run time
	Setpoint shown;   // the hub is shown the target and mode once they are kept
	bool unkept = false;  // a change from the hub could not be kept
};

// The zone's options, and over them what was kept; a kept target that the
// options no longer allow is dropped, with one line.
Setting settle(const Config &cfg, Stored kept);

// What was kept in the state folder by an earlier run, read once at the
// start.  No folder, or a bad file, is said in one line and keeps nothing.
Stored load_kept(const Config &cfg);

// A target and a mode from the hub (either may be absent) over s: a target
// the options refuse is said in one line and left out, and what is taken
// goes in *taken, for the keeper.  Without a state folder it is shown at
// once.  Returns whether the setting that applies changed.
bool set_from_hub(const Config &cfg, Setting &s, const double *target, const Mode *mode, Stored *taken);

// The keeper put the fields of saved in the state folder (ok), or could
// not: the hub is shown what is kept.  Returns whether that changed.
bool kept_from_hub(Setting &s, const Stored &saved, bool ok);

// Which setting applies and where it came from, in one line after before,
// so that a person who edited the zone's file and sees another target
// knows why.
void describe(const Config &cfg, const Setting &s, const char *before);
