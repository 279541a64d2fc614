#include "proxy.h"

#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int backlog = 8;
constexpr size_t chunk = 16384;

// A reset instead of a close: linger on, for no time.
void close_with_reset(int fd)
{
	linger l{1, 0};
	setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
	close(fd);
}

} // namespace

Proxy::Proxy(int port) : target_(port)
{
	listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a = loopback(0);
	socklen_t len = sizeof a;
	if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
	    listen(listener_, backlog) < 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) < 0 ||
	    pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0)
		return;
	port_ = ntohs(a.sin_port);
	thread_ = std::thread([this] { run(); });
}

Proxy::~Proxy()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		stop_ = true;
	}
	wake();
	if (thread_.joinable())
		thread_.join();
	for (int fd : {listener_, wake_[0], wake_[1]})
		if (fd >= 0)
			close(fd);
}

void Proxy::wake()
{
	char c = 1;
	(void)!write(wake_[1], &c, 1);
}

void Proxy::cut(Cut how)
{
	std::unique_lock<std::mutex> hold(lock_);
	int done = cuts_done_;
	cut_ = static_cast<int>(how);
	wake();
	cut_cv_.wait(hold, [&] { return cuts_done_ > done || !thread_.joinable(); });
}

void Proxy::silence(bool on)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		silent_ = on;
	}
	wake();
}

int Proxy::accepted()
{
	std::lock_guard<std::mutex> hold(lock_);
	return accepted_;
}

// A new client, and its own connection to the broker.
void Proxy::take()
{
	int down = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
	if (down < 0)
		return;
	int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a = loopback(target_);
	if (up < 0 || connect(up, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
		close(down);
		if (up >= 0)
			close(up);
		return;
	}
	pairs_.push_back({down, up});
	std::lock_guard<std::mutex> hold(lock_);
	accepted_++;
}

// Moves what from holds to to; false at its end or on an error.
bool Proxy::pass(int from, int to)
{
	char buf[chunk];
	ssize_t n = read(from, buf, sizeof buf);
	for (ssize_t off = 0; n > 0 && off < n;) {
		ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
		if (w <= 0)
			return false;
		off += w;
	}
	return n > 0;
}

// Passes what came on either side; false when the pair is to close.
bool Proxy::serve(Pair &p, short down, short up, bool silent)
{
	constexpr short ended = POLLHUP | POLLERR;
	if (silent) {
		p.dead = p.dead || (down & ended) || (up & ended);
		return true;
	}
	if (p.dead)
		return false;
	return (!(down & (POLLIN | ended)) || pass(p.down, p.up)) && (!(up & (POLLIN | ended)) || pass(p.up, p.down));
}

void Proxy::close_all(bool reset)
{
	for (const Pair &p : pairs_)
		for (int fd : {p.down, p.up})
			reset ? close_with_reset(fd) : (void)close(fd);
	pairs_.clear();
}

void Proxy::run()
{
	for (;;) {
		bool silent;
		int cut;
		{
			std::lock_guard<std::mutex> hold(lock_);
			if (stop_)
				break;
			silent = silent_;
			cut = cut_;
		}
		if (cut >= 0) {
			close_all(cut == static_cast<int>(Cut::rst));
			std::lock_guard<std::mutex> hold(lock_);
			cut_ = -1;
			cuts_done_++;
			cut_cv_.notify_all();
			continue;
		}
		std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
		for (const Pair &p : pairs_)
			for (int fd : {p.down, p.up})
				fds.push_back({p.dead ? -1 : fd, static_cast<short>(silent ? 0 : POLLIN), 0});
		if (poll(fds.data(), fds.size(), -1) < 0)
			continue;
		char drain[64];
		while (read(wake_[0], drain, sizeof drain) > 0) {
		}
		std::vector<Pair> kept;
		for (size_t i = 0; i < pairs_.size(); i++) {
			Pair &p = pairs_[i];
			if (serve(p, fds[2 + 2 * i].revents, fds[3 + 2 * i].revents, silent)) {
				kept.push_back(p);
				continue;
			}
			close(p.down);
			close(p.up);
		}
		pairs_ = kept;
		if (fds[0].revents & POLLIN)
			take();
	}
	close_all(false);
}
