// The claim on the zone: what a message on the claim topic means to this
// daemon, asking for the zone, holding it, and leaving it to another
// daemon, once the plug has taken this one's OFF from its driver, then
// watching for the holder to go.
#include "bus_impl.h"

#include <cstring>
#include <string_view>
#include <utility>

#include <syslog.h>

#include "clock.h"
#include "log.h"
#include "mailbox.h"

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

void BusThread::hear_claim(const mosquitto_message *m)
{
	char text[payload_max];
	if (!text_of(m, text))
		return;
	bool holding = link_ == Link::active;
	// While the plug's OFF goes out, the claims are a watcher's.
	bool watching = link_ == Link::watching || link_ == Link::yielding;
	Role role = holding ? Role::holding : watching ? Role::watching : Role::asking;
	switch (claim_seen(role, s_.names.client_id, text, m->retain)) {
	case Claim::ignore:
		return;
	case Claim::rival:
		rival_seen_s_ = clock_s();
		return;
	case Claim::answer:
		if (holding)
			report(LOG_WARNING, "mqtt: another ombrixd claims zone %s (%s); it is told the zone is held",
			       s_.cfg.zone.c_str(), text);
		send(s_.names.t_claim, holding ? s_.names.held.c_str() : s_.names.claim.c_str(), false);
		return;
	case Claim::yield:
		report(LOG_CRIT, "mqtt: another ombrixd holds zone %s (%s); this one holds back", s_.cfg.zone.c_str(),
		       text);
		yield_ = true;
		return;
	}
}

void BusThread::hold_zone(double now)
{
	bool was_held_back;
	{
		auto cl = s_.client.lock();
		show_all(s_, *cl);
		cl->active = true;
		was_held_back = std::exchange(cl->held_back, false);
	}
	say_held(now);
	if (was_held_back)
		s_.mb.post_duplicate(false);
	link_ = Link::active;
	backoff_s_ = retry_first_s;
	said_[0] = '\0';
	report(LOG_NOTICE, "mqtt: connected to %s port %d", s_.cfg.mqtt_host.c_str(), s_.cfg.mqtt_port);
	s_.mb.post_connected();
}

void BusThread::say_held(double now)
{
	send(s_.names.t_claim, s_.names.held.c_str(), false);
	next_held_s_ = now + held_every_s;
}

// The supervisor hears of the rival at once; its rule then holds the heater
// OFF, and its driver sends the plug that OFF, which bus_heater takes while
// this daemon yields.  A plug this daemon last left OFF needs nothing.
void BusThread::leave_zone(double now)
{
	yield_ = false;
	bool owes_off;
	{
		auto cl = s_.client.lock();
		cl->active = false;
		cl->held_back = true;
		owes_off = cl->last_on && !s_.names.heater_topic.empty();
		cl->yielding = owes_off;
		cl->off_sent = false;
	}
	s_.mb.post_duplicate(true);
	if (!owes_off)
		return watch(now);
	link_ = Link::yielding;
	since_s_ = now;
}

void BusThread::yield_plug(int rc, double now)
{
	bool taken = off_taken();
	if (!taken && !gone_[0] && rc == MOSQ_ERR_SUCCESS && now < since_s_ + off_wait_s)
		return;
	{
		auto cl = s_.client.lock();
		cl->yielding = false;
		if (taken)
			cl->last_on = false;
	}
	if (!taken)
		report(LOG_ERR, "mqtt: the broker did not take the plug's OFF within %g s", off_wait_s);
	watch(now);
}

// Whether the broker took the OFF that the driver sent as this daemon yields.
bool BusThread::off_taken()
{
	int mid;
	{
		auto cl = s_.client.lock();
		if (!cl->off_sent)
			return false;
		mid = cl->off_mid;
	}
	return s_.acks.lock()->has(mid);
}

// Off the zone, to come back as a watcher at once.
void BusThread::watch(double now)
{
	drop(true);
	watch_ = true;
	link_ = Link::idle;
	next_try_s_ = now;
}

void BusThread::claim_again(double now)
{
	report(LOG_NOTICE, "mqtt: no ombrixd has said it holds zone %s for %g s; this one claims it",
	       s_.cfg.zone.c_str(), rival_silent_s);
	drop(true);
	watch_ = false;
	link_ = Link::idle;
	next_try_s_ = now;
}
