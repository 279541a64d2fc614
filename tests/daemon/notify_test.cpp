// The service manager's side of notify.cpp, played by a real datagram
// socket: what the daemon says, where $NOTIFY_SOCKET points, and that it
// never waits for a manager that does not read.
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "notify.h"

namespace {

// A bound datagram socket, as the service manager has one.
class Manager {
public:
	explicit Manager(const std::string &where)
	{
		fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		sockaddr_un a{};
		a.sun_family = AF_UNIX;
		where.copy(a.sun_path, sizeof a.sun_path - 1);
		if (where[0] == '@')
			a.sun_path[0] = '\0';
		socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size());
		bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0;
		setenv("NOTIFY_SOCKET", where.c_str(), 1);
		notify_open();
	}
	~Manager() { close(fd_); }

	bool bound() const { return bound_; }

	// Every message that has come, oldest first.
	std::vector<std::string> heard()
	{
		std::vector<std::string> got;
		char buf[1024];
		for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) >= 0;)
			got.emplace_back(buf, static_cast<size_t>(n));
		return got;
	}

private:
	int fd_;
	bool bound_ = false;
};

std::string scratch(const char *name)
{
	std::string path = std::string(SCRATCH_ROOT) + "/" + name;
	unlink(path.c_str());
	return path;
}

TEST(Notify, ReachesASocketByPathAndByAbstractName)
{
	for (const std::string &where : {scratch("notify.sock"), std::string("@ombrix-test-") + std::to_string(getpid())}) {
		Manager m(where);
		ASSERT_TRUE(m.bound()) << where;
		EXPECT_TRUE(notify("READY=1"));
		EXPECT_TRUE(notify("STATUS=temp=71.60 command=ON heater=ON rule=-"));
		EXPECT_EQ(m.heard(), (std::vector<std::string>{"READY=1", "STATUS=temp=71.60 command=ON heater=ON rule=-"}))
			<< where;
	}
}

TEST(Notify, NeverWaitsForAManagerThatDoesNotRead)
{
	Manager m(scratch("full.sock"));
	ASSERT_TRUE(m.bound());
	int sent = 0;
	while (notify("WATCHDOG=1") && sent < 100000)
		sent++;
	EXPECT_LT(sent, 100000) << "a full socket never said no";
	EXPECT_FALSE(notify("WATCHDOG=1")) << "dropped, not waited for";
	EXPECT_FALSE(m.heard().empty());
}

TEST(Notify, WithoutAManagerEveryCallDoesNothing)
{
	unsetenv("NOTIFY_SOCKET");
	notify_open();
	EXPECT_TRUE(notify("READY=1"));
}

TEST(Notify, TheWatchdogIntervalIsOursUnlessItNamesAnotherProcess)
{
	setenv("WATCHDOG_USEC", "15000000", 1);
	unsetenv("WATCHDOG_PID");
	EXPECT_DOUBLE_EQ(watchdog_interval_s(), 15.0);
	setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
	EXPECT_DOUBLE_EQ(watchdog_interval_s(), 15.0);
	setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
	EXPECT_EQ(watchdog_interval_s(), 0) << "the interval is another process's";
	for (const char *bad : {"", "0", "-5", "15s", "abc"}) {
		unsetenv("WATCHDOG_PID");
		setenv("WATCHDOG_USEC", bad, 1);
		EXPECT_EQ(watchdog_interval_s(), 0) << bad;
	}
	unsetenv("WATCHDOG_USEC");
	EXPECT_EQ(watchdog_interval_s(), 0);
}

} // namespace
