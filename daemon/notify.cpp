#include "notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr double us_per_s = 1e6;

struct Manager {
	int fd = -1;
	sockaddr_un addr{};
	socklen_t len = 0;
};

Manager manager;

// The variable's number, whole and positive; 0 when it is not one.
unsigned long long number_of(const char *name)
{
	const char *text = std::getenv(name);
	if (!text || !*text)
		return 0;
	char *end;
	errno = 0;
	unsigned long long n = std::strtoull(text, &end, 10);
	return *end || errno || text[0] == '-' ? 0 : n;
}

} // namespace

void notify_open()
{
	if (manager.fd >= 0)
		close(manager.fd);
	manager = Manager{};
	const char *where = std::getenv("NOTIFY_SOCKET");
	if (!where || (where[0] != '/' && where[0] != '@'))
		return;
	size_t n = std::strlen(where);
	if (n >= sizeof manager.addr.sun_path)
		return;
	manager.addr.sun_family = AF_UNIX;
	std::memcpy(manager.addr.sun_path, where, n);
	if (where[0] == '@')
		manager.addr.sun_path[0] = '\0';
	manager.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
	manager.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

bool notify(const char *message)
{
	if (manager.len == 0)
		return true;
	size_t n = std::strlen(message);
	ssize_t sent = sendto(manager.fd, message, n, MSG_NOSIGNAL | MSG_DONTWAIT,
	                      reinterpret_cast<const sockaddr *>(&manager.addr), manager.len);
	return sent == static_cast<ssize_t>(n);
}

double watchdog_interval_s()
{
	unsigned long long us = number_of("WATCHDOG_USEC");
	unsigned long long pid = number_of("WATCHDOG_PID");
	if (us == 0 || (std::getenv("WATCHDOG_PID") && pid != static_cast<unsigned long long>(getpid())))
		return 0;
	return static_cast<double>(us) / us_per_s;
}
