// ombrixd's heaters on real files and commands, and the shell runner under
// them.
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver.h"
#include "heaters/heater.h"
#include "mailbox.h"
#include "process.h"
#include "shell.h"

namespace fs = std::filesystem;

namespace {

class HeaterTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir = fs::path(SCRATCH_ROOT) / "heater" /
		      ::testing::UnitTest::GetInstance()->current_test_info()->name();
		fs::remove_all(dir);
		fs::create_directories(dir);
	}

	void TearDown() override
	{
		if (heater.fd >= 0)
			close(heater.fd);
	}

	bool open(const char *kind, const std::string &arg)
	{
		Config cfg;
		cfg.heater = find_heater(kind);
		cfg.heater_arg = arg;
		return open_heater(cfg, nullptr, nullptr, heater);
	}

	std::string put(const char *name, const char *text)
	{
		std::string path = (dir / name).string();
		std::ofstream(path) << text;
		return path;
	}

	bool drive(bool on)
	{
		const char *why = nullptr;
		bool ok = drive_heater(heater, on, 0, -1, &why);
		EXPECT_TRUE(ok || why) << "a failed switch says why";
		return ok;
	}

	fs::path dir;
	Heater heater;
};

std::string slurp(const std::string &path)
{
	std::ostringstream text;
	text << std::ifstream(path).rdbuf();
	return text.str();
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST_F(HeaterTest, FileTakesOneAndZero)
{
	// A longer old value must not leave a tail: "255\n" is not "1\n5\n".
	std::string path = put("brightness", "255\n");
	ASSERT_TRUE(open("file", path));
	ASSERT_TRUE(drive(true));
	EXPECT_EQ(slurp(path), "1\n");
	ASSERT_TRUE(drive(false));
	EXPECT_EQ(slurp(path), "0\n");
	EXPECT_FALSE(heater_resends(heater));
}

TEST_F(HeaterTest, FileIsNeverCreated)
{
	std::string path = (dir / "value").string();
	EXPECT_FALSE(open("file", path));
	EXPECT_FALSE(fs::exists(path));
	EXPECT_FALSE(open("file", dir.string())) << "a folder is no relay";
}

// A FIFO at the heater's path must fail the start at once, reader or not,
// instead of blocking it until someone reads.
TEST_F(HeaterTest, FifoIsRefusedAtOnce)
{
	std::string path = (dir / "fifo").string();
	ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	auto start = std::chrono::steady_clock::now();
	EXPECT_FALSE(open("file", path));
	int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(reader, 0);
	EXPECT_FALSE(open("file", path)) << "with a reader";
	close(reader);
	EXPECT_LT(seconds_since(start), 1.0);
}

TEST_F(HeaterTest, FileGoesOffInSignal)
{
	std::string path = put("value", "1\n");
	ASSERT_TRUE(open("file", path));
	heater_off_in_signal(heater);
	EXPECT_EQ(slurp(path), "0\n");
}

TEST_F(HeaterTest, CommandGetsTheWord)
{
	std::string log = (dir / "words").string();
	std::string script = put("relay", ("#!/bin/sh\necho \"$1\" >> " + log + "\n").c_str());
	fs::permissions(script, fs::perms::owner_all);
	ASSERT_TRUE(open("exec", script));
	EXPECT_TRUE(drive(true));
	EXPECT_TRUE(drive(false));
	EXPECT_EQ(slurp(log), "on\noff\n");
}

TEST_F(HeaterTest, FailingCommandIsAFailedSwitch)
{
	ASSERT_TRUE(open("exec", "exit 1;"));
	EXPECT_FALSE(drive(true));
	ASSERT_TRUE(open("exec", "/nonexistent/relay"));
	EXPECT_FALSE(drive(false));
}

TEST_F(HeaterTest, HangingCommandIsAFailedSwitch)
{
	size_t fds = ::open_fds();
	ASSERT_TRUE(open("exec", "sleep 30 #"));
	auto start = std::chrono::steady_clock::now();
	EXPECT_FALSE(drive(true));
	double took = seconds_since(start);
	EXPECT_GE(took, exec_heater_timeout_s - 0.1);
	EXPECT_LT(took, exec_heater_timeout_s + 1.5);
	EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
	EXPECT_EQ(::open_fds(), fds);
}

// The driver with a relay whose ON hangs: an OFF, or the end, must not
// wait for it.
class DriverTest : public HeaterTest {
protected:
	void SetUp() override
	{
		HeaterTest::SetUp();
		log = (dir / "words").string();
		std::string script = put("relay", ("#!/bin/sh\necho \"$1\" >> " + log +
		                                   "\n[ \"$1\" = on ] && exec sleep 30\nexit 0\n").c_str());
		fs::permissions(script, fs::perms::owner_all);
		ASSERT_TRUE(open("exec", script));
	}

	bool logged(const std::string &words)
	{
		for (int i = 0; i < 200; i++, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
			if (slurp(log) == words)
				return true;
		return false;
	}

	// The next switch the driver tells of, within two seconds.
	Inbox switched(Mailbox &mb)
	{
		for (int i = 0; i < 200; i++, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
			Inbox in = mb.take();
			if (in.has_switched)
				return in;
		}
		ADD_FAILURE() << "no switch told within 2 s";
		return Inbox{};
	}

	std::string log;
};

TEST_F(DriverTest, AnOffOvertakesAHangingOn)
{
	Mailbox mb;
	Driver driver(heater, mb);
	driver.want(true);
	ASSERT_TRUE(logged("on\n"));
	driver.want(false);
	Inbox in = switched(mb);
	EXPECT_TRUE(in.has_switched && !in.switched_on && in.switched_ok) << "the ON's failure is no news";
	EXPECT_EQ(slurp(log), "on\noff\n");
	const char *why = nullptr;
	EXPECT_TRUE(driver.stop(5, &why)) << why;
}

TEST_F(DriverTest, StopCancelsAHangingOnAndSwitchesOff)
{
	Mailbox mb;
	Driver driver(heater, mb);
	driver.want(true);
	ASSERT_TRUE(logged("on\n"));
	auto start = std::chrono::steady_clock::now();
	const char *why = nullptr;
	EXPECT_TRUE(driver.stop(exec_heater_timeout_s, &why)) << why;
	EXPECT_LT(seconds_since(start), 2.0);
	EXPECT_EQ(slurp(log), "on\noff\n");
	driver.want(true);
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(slurp(log), "on\noff\n") << "switched after the end";
}

TEST(RunShell, Output)
{
	char out[64];
	const char *why = nullptr;
	size_t fds = open_fds();
	EXPECT_EQ(run_shell("echo hello", 5, -1, out, sizeof out, &why), 0);
	EXPECT_STREQ(out, "hello\n");
	EXPECT_EQ(run_shell("echo partial; exit 3", 5, -1, out, sizeof out, &why), 3);
	// What does not fit is dropped, and the text stays terminated.
	EXPECT_EQ(run_shell("echo 123456789", 5, -1, out, 4, &why), 0);
	EXPECT_STREQ(out, "123");
	// More than a pipe holds: read through, no deadlock with the writer.
	EXPECT_EQ(run_shell("head -c 1000000 /dev/zero | tr '\\0' x", 5, -1, out, sizeof out, &why), 0);
	EXPECT_EQ(std::strlen(out), sizeof out - 1);
	// Standard input is empty, not ours.
	EXPECT_EQ(run_shell("wc -c", 5, -1, out, sizeof out, &why), 0);
	EXPECT_EQ(std::atoi(out), 0);
	EXPECT_EQ(open_fds(), fds);
}

// A cancel ends a command at once, whatever its timeout.
TEST(RunShell, CancelEndsTheCommandAtOnce)
{
	int cancel = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	ASSERT_GE(cancel, 0);
	size_t fds = open_fds();
	std::thread canceller([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		uint64_t one = 1;
		EXPECT_EQ(write(cancel, &one, sizeof one), static_cast<ssize_t>(sizeof one));
	});
	char out[16];
	const char *why = nullptr;
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(run_shell("sleep 30", 10, cancel, out, sizeof out, &why), -1);
	canceller.join();
	EXPECT_EQ(why, shell_cancelled);
	EXPECT_LT(seconds_since(start), 2.0);
	EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
	EXPECT_EQ(open_fds(), fds);
	close(cancel);
}

TEST(RunShell, CommandTakesSignalsWhateverTheCallerBlocks)
{
	// The daemon blocks SIGTERM in every thread; a command must not inherit
	// that, or it could not be stopped the usual way.
	sigset_t term, old;
	sigemptyset(&term);
	sigaddset(&term, SIGTERM);
	ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
	char out[16];
	const char *why = nullptr;
	auto start = std::chrono::steady_clock::now();
	int rc = run_shell("kill -TERM $$; sleep 5", 10, -1, out, sizeof out, &why);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	EXPECT_EQ(rc, -1);
	EXPECT_NE(why, nullptr);
	EXPECT_LT(seconds_since(start), 2.0);
}

TEST(RunShell, BackgroundLeftoversDoNotHoldTheAnswer)
{
	// The shell is done; what it left in the background still holds the
	// pipe, and is killed instead of waited for.
	char out[16];
	const char *why = nullptr;
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(run_shell("echo 21; sleep 30 &", 5, -1, out, sizeof out, &why), 0);
	EXPECT_STREQ(out, "21\n");
	EXPECT_LT(seconds_since(start), 2.0);
}

TEST(RunShell, Concurrent)
{
	// The sensor thread and the supervisor may run commands at once.
	std::string slow_out, fast_out;
	std::thread slow([&] {
		char out[16];
		const char *why = nullptr;
		run_shell("sleep 1; echo slow", 5, -1, out, sizeof out, &why);
		slow_out = out;
	});
	char out[16];
	const char *why = nullptr;
	for (int i = 0; i < 20; i++) {
		run_shell("echo fast", 5, -1, out, sizeof out, &why);
		EXPECT_STREQ(out, "fast\n");
	}
	slow.join();
	EXPECT_EQ(slow_out, "slow\n");
}
