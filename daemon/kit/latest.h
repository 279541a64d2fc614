// A thread of its own that acts on the latest value it was given.  A value
// given while it acts waits, and a newer one replaces it: a slow disk, a
// library's retries or a stalled reader hold up that thread alone, never
// the one that gives, and only the last word counts.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

template <typename T>
class Latest {
public:
	// Starts the thread, which calls act on each value taken.  The object
	// must outlive it: it lives as long as the daemon.
	explicit Latest(std::function<void(const T &)> act) : act_(std::move(act))
	{
		std::thread([this] { run(); }).detach();
	}
	Latest(const Latest &) = delete;
	Latest &operator=(const Latest &) = delete;

	// Replaces what waits with v.
	void give(const T &v)
	{
		change([&](T &waiting) { waiting = v; });
	}

	// Changes what waits in place (T{} once taken), for a value that
	// gathers several requests.
	template <typename Change>
	void change(Change c)
	{
		{
			std::lock_guard<std::mutex> hold(lock_);
			c(value_);
			fresh_ = true;
		}
		wake_.notify_one();
	}

private:
	[[noreturn]] void run()
	{
		for (;;) {
			T v;
			{
				std::unique_lock<std::mutex> hold(lock_);
				wake_.wait(hold, [this] { return fresh_; });
				v = std::exchange(value_, T{});
				fresh_ = false;
			}
			act_(v);
		}
	}

	std::function<void(const T &)> act_;
	std::mutex lock_;
	std::condition_variable wake_;
	T value_{};
	bool fresh_ = false;
};
