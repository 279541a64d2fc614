// The test harness itself: what the daemon's real-time cases lean on must
// not hang them.  A peer's pipe that leaks into another process, or a tool
// that leaves a child behind, once made a case wait for ever.
#include <csignal>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "broker.h"
#include "daemon_run.h"
#include "isolate.h"

namespace {

constexpr int eof_wait_ms = 2000;

// Alive and not a zombie waiting for its parent.
bool running(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(") ");
	return paren != std::string::npos && stat[paren + 2] != 'Z';
}

TEST(Harness, TheKeeperHoldsNoneOfTheTestsDescriptors)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	// As a peer thread's pipe is open while a case starts the daemon.
	int fds[2];
	ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
	DaemonRun run;
	run.start({"--duration", "5"}, false);
	close(fds[1]);
	pollfd p{fds[0], POLLIN, 0};
	char c;
	EXPECT_EQ(poll(&p, 1, eof_wait_ms), 1) << "a copy of the write end is held elsewhere";
	EXPECT_EQ(read(fds[0], &c, 1), 0);
	close(fds[0]);
}

TEST(Harness, AToolEndsItsRunEvenWhenItsOutputStaysOpen)
{
	// The shell ends at once; its background child holds the pipe on,
	// longer than ctest gives the case.
	std::string out;
	ASSERT_TRUE(run_tool({"/bin/sh", "-c", "echo started; sleep 100 & echo $!"}, &out));
	size_t eol = out.find('\n');
	ASSERT_EQ(out.substr(0, eol), "started") << out;
	pid_t holder = std::stoi(out.substr(eol + 1));
	EXPECT_TRUE(running(holder)) << "the run waited for the holder to end";
	kill(holder, SIGKILL);
}

TEST(Harness, AToolThatFailsIsAFailedRun)
{
	EXPECT_FALSE(run_tool({"/bin/sh", "-c", "exit 3"}));
	EXPECT_FALSE(run_tool({"/nonexistent/tool"}));
}

} // namespace
