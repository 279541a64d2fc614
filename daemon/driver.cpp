#include "driver.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/eventfd.h>
#include <unistd.h>

#include "clock.h"
#include "heaters/heater.h"
#include "mailbox.h"

Driver::Driver(Heater &h, Mailbox &mb)
	: heater_(h), mb_(mb), cancel_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
	if (cancel_fd_ < 0) {
		std::perror("ombrixd: eventfd");
		std::exit(1);
	}
	std::thread([this] { run(); }).detach();
}

// The caller holds lock_.
void Driver::cancel_if_busy_with(bool on)
{
	if (busy_ && busy_on_ == on) {
		uint64_t one = 1;
		(void)!write(cancel_fd_, &one, sizeof one);
	}
}

bool Driver::first_off(const char **why)
{
	return drive_heater(heater_, false, clock_s(), -1, why);
}

void Driver::want(bool on)
{
	std::lock_guard<std::mutex> hold(lock_);
	if (stopping_)
		return;
	cancel_if_busy_with(!on);
	wanted_ = on;
	pending_ = true;
	wake_.notify_one();
}

bool Driver::stop(double timeout_s, const char **why)
{
	std::unique_lock<std::mutex> hold(lock_);
	stopping_ = true;
	cancel_if_busy_with(true);
	wanted_ = false;
	pending_ = true;
	wake_.notify_one();
	if (!stopped_.wait_for(hold, std::chrono::duration<double>(timeout_s), [this] { return done_; })) {
		*why = "the heater did not answer in time";
		return false;
	}
	*why = off_why_;
	return off_ok_;
}

void Driver::run()
{
	std::unique_lock<std::mutex> hold(lock_);
	for (;;) {
		wake_.wait(hold, [this] { return pending_; });
		bool on = wanted_, last = stopping_;
		pending_ = false;
		uint64_t n;
		(void)!read(cancel_fd_, &n, sizeof n);  // a cancel of an earlier switch
		busy_ = true;
		busy_on_ = on;
		hold.unlock();
		const char *why = nullptr;
		bool ok = last ? last_heater_off(heater_, &why) : drive_heater(heater_, on, clock_s(), cancel_fd_, &why);
		hold.lock();
		busy_ = false;
		if (last) {
			done_ = true;
			off_ok_ = ok;
			off_why_ = why;
			stopped_.notify_all();
			return;
		}
		// A switch that a newer want overtook is no news.  (want() may have
		// run while the lock was let go.)
		// cppcheck-suppress knownConditionTrueFalse
		if (!pending_ || wanted_ == on)
			mb_.post_switched(on, ok, why);
	}
}
