// Black-box tests of the client binary, stepped cycle by cycle in a private /tmp.
#include <cerrno>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "isolate.h"

namespace {

constexpr timespec long_ago[2] = {{1000, 0}, {1000, 0}};
constexpr uint32_t period_s = 5;

struct stat stat_of(const std::string &path)
{
	struct stat st {};
	EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
	return st;
}

// Dates the file back so that any later write shows in its mtime.
void age(const std::string &path)
{
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), long_ago, AT_SYMLINK_NOFOLLOW), 0);
}

bool written_since_aged(const std::string &path)
{
	return stat_of(path).st_mtim.tv_sec != long_ago[0].tv_sec;
}

class Client : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string why = cannot_isolate();
		if (!why.empty())
			GTEST_SKIP() << why;
		umask(022);
	}

	ClientRun run;
};

TEST_F(Client, CreatesAMissingStatusFileBeforeTheFirstCycle)
{
	run.start();
	auto slept = run.next();
	ASSERT_TRUE(slept);
	EXPECT_EQ(slept->seconds, period_s);
	EXPECT_EQ(run.get("status"), "OFF\n");
	EXPECT_EQ(stat_of(run.path("status")).st_mode & 07777, 0644u);
	EXPECT_EQ(run.take_stderr(), report("Cannot read temp", ENOENT));

	run.put("temp", "60.000000\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n");
	EXPECT_EQ(run.take_stderr(), "");
}

TEST_F(Client, StartUpRefillsAnEmptyStatusFileAndKeepsAnyOther)
{
	for (auto [before, temp, after] : {std::tuple{"", "70\n", "OFF\n"},
	                                   std::tuple{"banana\n", "70\n", "banana\n"},
	                                   std::tuple{"banana\n", "60\n", "ON\n"},
	                                   std::tuple{"banana\n", "80\n", "OFF\n"}}) {
		ClientRun r;
		r.put("status", before);
		r.put("temp", temp);
		r.start();
		ASSERT_TRUE(r.next());
		EXPECT_EQ(r.get("status"), after) << "status " << before << "temp " << temp;
	}
}

TEST_F(Client, StartUpFailureIsReportedWithExitStatusOne)
{
	struct Planted {
		const char *what;
		void (*plant)(const ClientRun &);
		int err;
	};
	const Planted cases[] = {
		{"dangling link", [](const ClientRun &r) { symlink("victim", r.path("status").c_str()); }, ELOOP},
		{"link to an empty file",
		 [](const ClientRun &r) {
			 r.put("victim", "");
			 symlink("victim", r.path("status").c_str());
		 },
		 ELOOP},
		{"FIFO", [](const ClientRun &r) { mkfifo(r.path("status").c_str(), 0666); }, ENXIO},
		{"empty file with a second name",
		 [](const ClientRun &r) {
			 r.put("victim", "");
			 link(r.path("victim").c_str(), r.path("status").c_str());
		 },
		 EMLINK},
	};
	for (const Planted &c : cases) {
		ClientRun r;
		c.plant(r);
		r.start();
		EXPECT_FALSE(r.next()) << c.what;
		EXPECT_TRUE(WIFEXITED(r.wait_status()) && WEXITSTATUS(r.wait_status()) == 1) << c.what;
		EXPECT_EQ(r.take_stderr(), report("Failed to initialize status file", c.err)) << c.what;
		auto victim = r.get("victim");
		EXPECT_TRUE(!victim || victim->empty()) << c.what << ": the victim was written";
	}
}

struct Case {
	const char *temp;
	const char *status;
	const char *after;  // nullptr: the status file is not written
};

std::ostream &operator<<(std::ostream &os, const Case &c)
{
	return os << "temp '" << c.temp << "', status '" << c.status << "'";
}

class Decision : public Client, public ::testing::WithParamInterface<Case> {};

TEST_P(Decision, WritesTheCommandOfTheTable)
{
	const Case &c = GetParam();
	run.put("temp", c.temp);
	run.put("status", c.status);
	age(run.path("status"));
	run.start();
	ASSERT_TRUE(run.next());
	if (c.after) {
		EXPECT_EQ(run.get("status"), c.after);
	} else {
		EXPECT_EQ(run.get("status"), c.status);
		EXPECT_FALSE(written_since_aged(run.path("status")));
	}
	EXPECT_EQ(run.take_stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Thresholds, Decision, ::testing::Values(
	Case{"60.000000\n", "OFF\n", "ON\n"},
	Case{"60.000000\n", "ON\n", nullptr},
	Case{"68.999992\n", "OFF\n", "ON\n"},   // one float step below 69
	Case{"68.9999999\n", "OFF\n", nullptr}, // 69 in single precision
	Case{"69.000000\n", "OFF\n", nullptr},
	Case{"69.000000\n", "ON\n", nullptr},
	Case{"72\n", "banana\n", nullptr},
	Case{"75.000000\n", "ON\n", nullptr},
	Case{"75.000000\n", "OFF\n", nullptr},
	Case{"75.0000001\n", "ON\n", nullptr},  // 75 in single precision
	Case{"75.000008\n", "ON\n", "OFF\n"},   // one float step above 75
	Case{"80.000000\n", "OFF\n", nullptr},
	Case{"80.000000\n", "ON\n", "OFF\n"}));

INSTANTIATE_TEST_SUITE_P(Numbers, Decision, ::testing::Values(
	Case{"nan\n", "OFF\n", nullptr},
	Case{"-nan\n", "ON\n", nullptr},
	Case{"inf\n", "ON\n", "OFF\n"},
	Case{"-inf\n", "OFF\n", "ON\n"},
	Case{"  7.6e1 trailing words", "ON\n", "OFF\n"},
	Case{"-3.250000\n", "OFF\n", "ON\n"}));

INSTANTIATE_TEST_SUITE_P(Prefixes, Decision, ::testing::Values(
	Case{"60\n", "ONLINE\n", nullptr},
	Case{"80\n", "ONLINE\n", "OFF\n"},
	Case{"60\n", "OF", "ON\n"},
	Case{"80\n", "OF", "OFF\n"},
	Case{"60\n", " ON\n", "ON\n"},
	Case{"60\n", "on\n", "ON\n"},
	Case{"80\n", "off\n", "OFF\n"},
	Case{"80\n", "OFF", nullptr},
	Case{"80\n", "OFF ON\n", nullptr},
	Case{"60\n", "ON OFF\n", nullptr},
	Case{"80\n", "OFFLINE and a long tail\n", nullptr},
	Case{"60\n", "MONDAY\n", "ON\n"},
	Case{"60\n", "1234567ON\n", "ON\n"}));  // only 7 characters are read

TEST_F(Client, DecidesNothingUntilATemperatureParsesThenKeepsTheLastOne)
{
	run.put("temp", "not a number\n");
	run.start();
	for (int i = 0; i < 3; i++) {
		ASSERT_TRUE(run.next());
		EXPECT_EQ(run.get("status"), "OFF\n");
	}
	run.put("temp", "60\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n");

	run.put("temp", "");
	run.put("status", "OFF\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n") << "the last parsed 60 should stand";
	EXPECT_EQ(run.take_stderr(), "");
}

TEST_F(Client, MissingTemperatureIsReportedEveryCycleAndTouchesNoStatus)
{
	run.put("status", "ON\n");
	run.start();
	for (int i = 0; i < 3; i++) {
		auto slept = run.next();
		ASSERT_TRUE(slept);
		EXPECT_EQ(slept->seconds, period_s);
		EXPECT_EQ(run.take_stderr(), report("Cannot read temp", ENOENT));
	}
	ASSERT_EQ(unlink(run.path("status").c_str()), 0);
	ASSERT_TRUE(run.next());
	EXPECT_FALSE(run.get("status")) << "a cycle without a temperature wrote the status file";
	EXPECT_EQ(run.take_stderr(), report("Cannot read temp", ENOENT));

	run.put("temp", "60\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n") << "a deleted status file is made again";
	EXPECT_EQ(run.take_stderr(), "");
}

TEST_F(Client, RewritesTheStatusFileInPlaceToExactlyTheCommand)
{
	run.put("status", "a long line that was here before\n");
	run.put("temp", "60\n");
	run.start();
	ino_t inode = stat_of(run.path("status")).st_ino;
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n");
	run.put("temp", "80\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "OFF\n");
	run.put("temp", "60\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n");
	EXPECT_EQ(stat_of(run.path("status")).st_ino, inode);
}

TEST_F(Client, NeverWritesThroughALinkOrASecondName)
{
	run.put("temp", "60\n");
	run.put("victim", "keep\n");
	run.start();
	ASSERT_TRUE(run.next());
	ASSERT_EQ(run.get("status"), "ON\n");

	run.put("temp", "80\n");
	ASSERT_EQ(unlink(run.path("status").c_str()), 0);
	ASSERT_EQ(symlink("victim", run.path("status").c_str()), 0);
	for (int i = 0; i < 2; i++) {
		ASSERT_TRUE(run.next());
		EXPECT_EQ(run.take_stderr(), report("Cannot write status", ELOOP));
	}
	EXPECT_EQ(run.get("victim"), "keep\n");

	ASSERT_EQ(unlink(run.path("status").c_str()), 0);
	run.put("status", "ON\n");
	ASSERT_EQ(link(run.path("status").c_str(), run.path("other").c_str()), 0);
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.take_stderr(), report("Cannot write status", EMLINK));
	EXPECT_EQ(run.get("other"), "ON\n");

	ASSERT_EQ(unlink(run.path("other").c_str()), 0);
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "OFF\n") << "the lost command is written again";
	EXPECT_EQ(run.take_stderr(), "");
}

TEST_F(Client, PlantedFifosNeitherHangNorGetWritten)
{
	run.put("status", "OFF\n");
	ASSERT_EQ(mkfifo(run.path("temp").c_str(), 0666), 0);
	run.start();
	ASSERT_TRUE(run.next()) << "a FIFO at the temperature path hung the client";
	EXPECT_EQ(run.take_stderr(), "");

	ASSERT_EQ(unlink(run.path("temp").c_str()), 0);
	run.put("temp", "60\n");
	ASSERT_EQ(unlink(run.path("status").c_str()), 0);
	ASSERT_EQ(mkfifo(run.path("status").c_str(), 0666), 0);
	ASSERT_TRUE(run.next()) << "a FIFO at the status path hung the client";
	EXPECT_EQ(run.take_stderr(), report("Cannot write status", ENXIO));
}

TEST_F(Client, WriteOnlyStatusFileGetsItsCommandEveryCycle)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to run the client as another user";
	run.put("status", "ON\n");
	ASSERT_EQ(chmod(run.path("status").c_str(), 0222), 0);
	run.put("temp", "80\n");
	age(run.path("status"));
	run.start(nobody);
	ASSERT_TRUE(run.next());
	EXPECT_FALSE(written_since_aged(run.path("status")))
		<< "the unread status should still be OFF from start-up";

	run.put("temp", "60\n");
	for (int i = 0; i < 2; i++) {
		age(run.path("status"));
		ASSERT_TRUE(run.next());
		EXPECT_TRUE(written_since_aged(run.path("status"))) << "cycle " << i;
		EXPECT_EQ(run.get("status"), "ON\n");
	}
	EXPECT_EQ(run.take_stderr(), "");
}

} // namespace
