#include "setting.h"

#include <cstdio>

#include <syslog.h>

#include "log.h"

Setting settle(const Config &cfg, Stored kept)
{
	Setpoint sp = configured(cfg);
	if (kept.has_target) {
		if (const char *why = refuse_target(cfg, kept.target, sp.band)) {
			report(LOG_WARNING, "the kept target %.1f is refused: %s", kept.target, why);
			kept.has_target = false;
		}
	}
	if (kept.has_target)
		sp.target = kept.target;
	if (kept.has_mode)
		sp.mode = kept.mode;
	return Setting{sp, kept, sp};  // what was loaded is kept, and the options are
}

Stored load_kept(const Config &cfg)
{
	Stored kept;
	const char *why = nullptr;
	if (cfg.state_dir.empty())
		report(LOG_NOTICE, "no --state-dir nor $STATE_DIRECTORY: a target or mode set now is lost at a restart");
	else if (load_stored(cfg.state_dir, cfg.unit, &kept, &why) == Load::bad)
		report(LOG_WARNING, "%s/%s %s; the zone's options apply", cfg.state_dir.c_str(), stored_name, why);
	return kept;
}

bool set_from_hub(const Config &cfg, Setting &s, const double *target, const Mode *mode, Stored *taken)
{
	Setpoint was = s.sp;
	*taken = Stored{};
	if (target) {
		if (const char *why = refuse_target(cfg, *target, s.sp.band)) {
			report(LOG_WARNING, "target %g from the hub refused: %s", *target, why);
		} else {
			s.sp.target = *target;
			taken->has_target = true;
			taken->target = *target;
		}
	}
	if (mode) {
		s.sp.mode = *mode;
		taken->has_mode = true;
		taken->mode = *mode;
	}
	overlay(s.kept, *taken);
	if (cfg.state_dir.empty())
		s.shown = s.sp;  // nowhere to keep it: what applies is all there is
	return s.sp.target != was.target || s.sp.mode != was.mode;
}

bool kept_from_hub(Setting &s, const Stored &saved, bool ok)
{
	Setpoint was = s.shown;
	s.unkept = !ok;
	if (saved.has_target)
		s.shown.target = saved.target;
	if (saved.has_mode)
		s.shown.mode = saved.mode;
	return s.shown.target != was.target || s.shown.mode != was.mode;
}

void describe(const Config &cfg, const Setting &s, const char *before)
{
	char target[128], mode[96];
	const char *u = unit_sign(cfg.unit);
	if (s.kept.has_target)
		std::snprintf(target, sizeof target, "target %.1f %s, set at run time; the zone's options say %.1f",
		              s.sp.target, u, cfg.target);
	else
		std::snprintf(target, sizeof target, "target %.1f %s, from the zone's options", s.sp.target, u);
	if (s.kept.has_mode)
		std::snprintf(mode, sizeof mode, "mode %s, set at run time; the zone's options say %s",
		              mode_name(s.sp.mode), mode_name(cfg.mode));
	else
		std::snprintf(mode, sizeof mode, "mode %s", mode_name(s.sp.mode));
	report(LOG_INFO, "%s%s; band %.1f; %s", before, target, s.sp.band, mode);
}
