// A value that threads share, reached only through a handle that holds its
// lock: code that forgets the lock does not build.  Those who wait for a
// change of it wait on it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

template <typename T>
class Locked {
public:
	// The value, locked for as long as the handle lives.
	class Handle {
	public:
		T *operator->() { return &owner_.value_; }
		T &operator*() { return owner_.value_; }

		// Lets go of the lock until done(value) holds, or for timeout_s,
		// and takes it again; whether done holds.  A change wakes it once
		// its maker calls notify().
		template <typename Done>
		bool wait_for(double timeout_s, Done done)
		{
			return owner_.changed_.wait_for(hold_, std::chrono::duration<double>(timeout_s),
			                                [&] { return done(owner_.value_); });
		}

	private:
		friend class Locked;
		explicit Handle(Locked &owner) : owner_(owner), hold_(owner.mutex_) {}

		Locked &owner_;
		std::unique_lock<std::mutex> hold_;
	};

	Locked() = default;
	Locked(const Locked &) = delete;
	Locked &operator=(const Locked &) = delete;

	Handle lock() { return Handle(*this); }

	// Wakes every wait_for() to look at the value again.
	void notify() { changed_.notify_all(); }

private:
	std::mutex mutex_;
	std::condition_variable changed_;
	T value_{};
};
