// The claim on the zone: what a message on the claim topic means to this
// daemon, asking for the zone, holding it, and leaving it to another
// daemon, whose plug this one switches OFF first, then watching for the
// holder to go.
#include "bus_impl.h"

#include <cstring>
#include <string_view>

#include <syslog.h>

#include "clock.h"
#include "log.h"
#include "mailbox.h"

namespace {

constexpr double off_wait_s = 2;           // for the broker to take the plug's OFF as a daemon holds back

// Publishes the plug's OFF and runs the loop until the broker has taken
// it, or for off_wait_s; whether it did.
bool send_off(Bus &b)
{
	int mid = 0;
	if (publish_awaited(b, &mid, b.heater_topic, b.cfg.heater_off.c_str(), false) != MOSQ_ERR_SUCCESS)
		return false;
	for (double end = clock_s() + off_wait_s; clock_s() < end;) {
		if (acked(b, mid))
			return true;
		if (b.lib->loop(b.mosq, loop_wait_ms / 10, 1) != MOSQ_ERR_SUCCESS)
			return false;
	}
	return false;
}

} // namespace

// A pure function of the text, so that it is tested and fuzzed without a
// broker.
Claim claim_seen(Role role, const std::string &me, const char *text, bool retained)
{
	std::string_view s = text;
	bool held = s.starts_with(claim_held);
	if (retained || (!held && !s.starts_with(claim_asked)))
		return Claim::ignore;
	s.remove_prefix(std::strlen(held ? claim_held : claim_asked));
	if (s.empty() || s == me)
		return Claim::ignore;
	// A watcher waits for the holder to go silent; a claim is answered by
	// the holder, if there is one.
	if (role == Role::watching)
		return held ? Claim::rival : Claim::ignore;
	// One that holds the zone outranks one that asks; between equals the
	// smaller id keeps it, so that two at once settle on one.
	if (held == (role == Role::holding))
		return s < me ? Claim::yield : Claim::answer;
	return held ? Claim::yield : Claim::answer;
}

void hear_claim(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	if (!text_of(m, text))
		return;
	bool holding = b.link == Link::active;
	Role role = holding ? Role::holding : b.link == Link::watching ? Role::watching : Role::asking;
	switch (claim_seen(role, b.client_id, text, m->retain)) {
	case Claim::ignore:
		return;
	case Claim::rival:
		b.rival_seen_s = clock_s();
		return;
	case Claim::answer:
		if (holding)
			report(LOG_WARNING, "mqtt: another ombrixd claims zone %s (%s); it is told the zone is held",
			       b.cfg.zone.c_str(), text);
		publish(b, nullptr, b.t_claim, holding ? b.held.c_str() : b.claim.c_str(), false);
		return;
	case Claim::yield:
		report(LOG_CRIT, "mqtt: another ombrixd holds zone %s (%s); this one holds back", b.cfg.zone.c_str(),
		       text);
		b.yield = true;
		return;
	}
}

void hold_zone(Bus &b, double now)
{
	bool was_held_back;
	{
		std::lock_guard<std::mutex> hold(b.lock);
		show_all(b);
		b.active = true;
		was_held_back = b.held_back;
		b.held_back = false;
	}
	publish(b, nullptr, b.t_claim, b.held.c_str(), false);
	b.next_held_s = now + held_every_s;
	if (was_held_back)
		b.mb.post_duplicate(false);
	b.link = Link::active;
	b.backoff_s = retry_first_s;
	b.said[0] = '\0';
	report(LOG_NOTICE, "mqtt: connected to %s port %d", b.cfg.mqtt_host.c_str(), b.cfg.mqtt_port);
	b.mb.post_connected();
}

void leave_zone(Bus &b, double now)
{
	bool was_on;
	{
		std::lock_guard<std::mutex> hold(b.lock);
		b.active = false;
		b.held_back = true;
		was_on = b.last_on;
	}
	b.link = Link::watching;  // while the OFF goes out, the claims are a watcher's
	b.mb.post_duplicate(true);
	if (was_on && !b.heater_topic.empty()) {
		bool off = send_off(b);
		if (off) {
			std::lock_guard<std::mutex> hold(b.lock);
			b.last_on = false;
		} else {
			report(LOG_ERR, "mqtt: the broker did not take the plug's OFF within %g s", off_wait_s);
		}
	}
	drop(b, true);
	b.watch = true;
	b.link = Link::idle;
	b.next_try_s = now;
}

void claim_again(Bus &b, double now)
{
	report(LOG_NOTICE, "mqtt: no ombrixd has said it holds zone %s for %g s; this one claims it",
	       b.cfg.zone.c_str(), rival_silent_s);
	drop(b, true);
	b.watch = false;
	b.link = Link::idle;
	b.next_try_s = now;
}
