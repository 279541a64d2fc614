#include "link.h"

#include <cmath>
#include <thread>

#include <syslog.h>

#include "clock.h"
#include "config.h"
#include "log.h"
#include "mailbox.h"
#include "ombrix.h"

Publisher::Publisher(const Config &cfg, Mailbox &mb)
	: cfg_(cfg), mb_(mb), latest_([this](const float &t) { publish(t); })
{
}

void Publisher::publish(float t)
{
	int rc = ombrix_write_temperature(cfg_.temp_file.c_str(), t);
	if (rc == OMBRIX_OK)
		mb_.post_published(t, clock_s());
	else
		report(LOG_ERR, "cannot publish the temperature: %s", ombrix_error_to_msg(rc));
}

namespace {

void post_command(Mailbox &mb, int rc, int state)
{
	switch (rc) {
	case OMBRIX_OK:
		mb.post_command(state == OMBRIX_HEATER_ON ? rules::Command::on : rules::Command::off, nullptr);
		break;
	case OMBRIX_ERR_UNKNOWN_STATE:
		mb.post_command(rules::Command::unknown, "the status file holds no command");
		break;
	default:
		mb.post_command(rules::Command::unknown, "the status file cannot be read");
		break;
	}
}

} // namespace

void start_reading(const Config &cfg, Mailbox &mb)
{
	std::thread([&cfg, &mb] {
		for (double next = clock_s();;) {
			int state = OMBRIX_HEATER_OFF;
			int rc = ombrix_read_command(cfg.status_file.c_str(), &state);
			post_command(mb, rc, state);
			next = std::fmax(next + cfg.period_s, clock_s());
			sleep_until(next);
		}
	}).detach();
}
