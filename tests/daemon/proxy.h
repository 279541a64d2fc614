// A TCP proxy on a free loopback port, in front of a broker, that breaks
// connections the ways a network does: a close (FIN), a reset (RST), or
// silence, where the connection stays up and nothing passes, as when a
// link goes down with no word to either end.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class Proxy {
public:
	// Forwards each connection to port on 127.0.0.1; listens at once.
	explicit Proxy(int port);
	~Proxy();
	Proxy(const Proxy &) = delete;
	Proxy &operator=(const Proxy &) = delete;

	// Where it listens; 0 when it could not.
	int port() const { return port_; }

	enum class Cut { fin, rst };
	// Ends every connection now, both sides, as how says.  Later ones are
	// forwarded again.  Returns once they are closed.
	void cut(Cut how);
	// While silent, connections (new ones too) stay open and nothing passes.
	void silence(bool on);
	// How many connections it has taken so far.
	int accepted();

private:
	struct Pair {
		int down, up;       // the client's side, the broker's side
		bool dead = false;  // reset while silent: no longer polled
	};
	void run();
	void take();
	bool pass(int from, int to);
	bool serve(Pair &p, short down, short up, bool silent);
	void close_all(bool reset);
	void wake();

	int target_, port_ = 0;
	int listener_ = -1;
	int wake_[2] = {-1, -1};
	std::mutex lock_;
	bool silent_ = false, stop_ = false;
	int cut_ = -1;        // a Cut not yet done, or -1
	int cuts_done_ = 0;
	std::condition_variable cut_cv_;
	int accepted_ = 0;
	std::vector<Pair> pairs_;  // the proxy thread's alone
	std::thread thread_;
};
