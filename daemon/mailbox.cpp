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

void Mailbox::wake()
{
	uint64_t one = 1;
	// Fails only when the counter would overflow: it is then readable anyway.
	(void)!write(fd_, &one, sizeof one);
}

void Mailbox::post_reading(float value, const char *why)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		box_.has_reading = true;
		box_.reading = value;
		box_.why = why;
	}
	wake();
}

void Mailbox::post_command(rules::Command c)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		box_.has_command = true;
		box_.command = c;
	}
	wake();
}

void Mailbox::post_report(bool on)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		box_.has_report = true;
		box_.report = on;
	}
	wake();
}

void Mailbox::post_connected()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		box_.connected = true;
	}
	wake();
}

void Mailbox::post_duplicate()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		box_.duplicate = true;
	}
	wake();
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
