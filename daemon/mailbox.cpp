#include "mailbox.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

Mailbox::Mailbox() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
	if (fd_ < 0) {
		std::fprintf(stderr, "ombrixd: eventfd: %s\n", std::strerror(errno));
		std::exit(1);
	}
}

Mailbox::~Mailbox()
{
	close(fd_);
}

template <typename Fill>
void Mailbox::post(Fill fill, bool wake)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		fill(box_);
	}
	if (!wake)
		return;
	uint64_t one = 1;
	// Fails only when the counter would overflow: it is then readable anyway.
	(void)!write(fd_, &one, sizeof one);
}

void Mailbox::post_reading(float value, const char *why)
{
	post([&](Inbox &b) {
		b.has_reading = true;
		b.reading = value;
		b.why = why;
	});
}

void Mailbox::post_published(float t, double when_s)
{
	post([&](Inbox &b) {
		b.has_published = true;
		b.published = t;
		b.published_s = when_s;
	}, false);
}

void Mailbox::post_command(rules::Command c, const char *why)
{
	post([&](Inbox &b) {
		b.has_command = true;
		b.command = c;
		b.command_why = why;
	});
}

void Mailbox::post_switched(bool on, bool ok, const char *why)
{
	post([&](Inbox &b) {
		b.has_switched = true;
		b.switched_on = on;
		b.switched_ok = ok;
		b.switch_why = why;
	});
}

void Mailbox::post_report(bool on)
{
	post([&](Inbox &b) {
		b.has_report = true;
		b.report = on;
	});
}

void Mailbox::post_connected()
{
	post([](Inbox &b) { b.connected = true; });
}

void Mailbox::post_duplicate(bool held_elsewhere)
{
	post([=](Inbox &b) {
		b.has_duplicate = true;
		b.duplicate = held_elsewhere;
	});
}

void Mailbox::post_set_target(double t)
{
	post([&](Inbox &b) {
		b.has_set_target = true;
		b.set_target = t;
	});
}

void Mailbox::post_set_mode(Mode m)
{
	post([&](Inbox &b) {
		b.has_set_mode = true;
		b.set_mode = m;
	});
}

void Mailbox::post_kept(const Stored &s, bool ok)
{
	post([&](Inbox &b) {
		b.has_kept = true;
		if (ok)
			overlay(b.kept, s);  // a save's post can be taken with the one before
		b.kept_ok = ok;
	});
}

void Mailbox::post_loaded(Load l, const Stored &s, const char *why)
{
	post([&](Inbox &b) {
		b.has_loaded = true;
		b.loaded = l;
		b.stored = s;
		b.loaded_why = why;
	});
}

Inbox Mailbox::take()
{
	uint64_t n;
	(void)!read(fd_, &n, sizeof n);
	std::lock_guard<std::mutex> hold(lock_);
	Inbox got = box_;
	box_ = Inbox{};
	return got;
}
