// The settings kept in the state folder: what is saved loads again in
// either unit, a damaged file loads as bad and never as a value, a file
// that is not to be trusted is not read, a writer killed at any instant
// leaves the old file or the new one and what it left is cleaned away, and
// writers at the same instant each change their own field.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store.h"

namespace fs = std::filesystem;

namespace {

class Store : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir = std::string(SCRATCH_ROOT) + "/store.XXXXXX";
		ASSERT_TRUE(mkdtemp(dir.data()));
	}
	void TearDown() override { fs::remove_all(dir); }

	void put(const std::string &text) const
	{
		FILE *f = std::fopen((dir + "/setpoint").c_str(), "w");
		ASSERT_TRUE(f);
		std::fputs(text.c_str(), f);
		std::fclose(f);
	}

	Load load(Stored *s, Unit u = Unit::celsius, const char **said = nullptr) const
	{
		const char *why = nullptr;
		Load l = load_stored(dir, u, s, &why);
		EXPECT_EQ(l == Load::bad, why != nullptr);
		if (said)
			*said = why;
		return l;
	}

	// The folder's entries but the file itself.
	std::vector<std::string> others() const
	{
		std::vector<std::string> names;
		for (const auto &e : fs::directory_iterator(dir))
			if (e.path().filename() != "setpoint")
				names.push_back(e.path().filename());
		std::sort(names.begin(), names.end());
		return names;
	}

	std::string dir;
};

TEST_F(Store, WhatIsSavedLoadsInEitherUnit)
{
	Stored s{true, 21.5, true, Mode::off}, got;
	ASSERT_EQ(save_stored(dir, Unit::celsius, s), nullptr);
	ASSERT_EQ(load(&got), Load::ok);
	EXPECT_EQ(got.target, 21.5);
	EXPECT_TRUE(got.has_mode);
	EXPECT_EQ(got.mode, Mode::off);
	ASSERT_EQ(load(&got, Unit::fahrenheit), Load::ok);
	EXPECT_DOUBLE_EQ(got.target, 70.7) << "a zone moved to °F keeps the temperature, not the number";
	EXPECT_EQ(fs::status(dir + "/setpoint").permissions() & fs::perms::all,
	          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(Store, OnlyWhatWasSetIsKept)
{
	Stored got{true, 1, true, Mode::off};
	ASSERT_EQ(save_stored(dir, Unit::fahrenheit, Stored{false, 0, true, Mode::heat}), nullptr);
	ASSERT_EQ(load(&got), Load::ok);
	EXPECT_FALSE(got.has_target) << "the zone's options still say the target";
	EXPECT_TRUE(got.has_mode);
}

TEST_F(Store, NoFileIsNothingSet)
{
	Stored got;
	EXPECT_EQ(load(&got), Load::none);
}

class Damaged : public Store, public ::testing::WithParamInterface<std::string> {};

TEST_P(Damaged, LoadsAsBad)
{
	put(GetParam());
	Stored got;
	EXPECT_EQ(load(&got), Load::bad) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Files, Damaged, ::testing::Values(
	"unit=C\ntarget=21",                 // cut short
	"unit=C\ntarget=\n", "unit=C\ntarget=21x\n", "unit=C\ntarget=nan\n", "target=21\n",  // no unit
	"unit=K\ntarget=21\n", "unit=C\nmode=cool\n", "unit=C\nhello\n", "unit=C\ncolour=red\n",
	"\x7f" "ELF\x02\x01\n",
	"unit=C\n" + std::string(2000, '#') + "\n"));  // too long

TEST_F(Store, ADirectoryOrAFifoInItsPlaceIsBadNotAHang)
{
	Stored got;
	ASSERT_EQ(mkfifo((dir + "/setpoint").c_str(), 0600), 0);
	EXPECT_EQ(load(&got), Load::bad);
	fs::remove(dir + "/setpoint");
	fs::create_directory(dir + "/setpoint");
	EXPECT_EQ(load(&got), Load::bad);
	EXPECT_NE(save_stored(dir, Unit::celsius, Stored{true, 20, false, Mode::heat}), nullptr)
		<< "a failed save says so";
}

// A writer killed at a random instant, again and again: each time the file
// holds one of the two values it was switching between, whole.
TEST_F(Store, AWriteKilledMidwayLeavesAValueThatLoads)
{
	ASSERT_EQ(save_stored(dir, Unit::celsius, Stored{true, 20, false, Mode::heat}), nullptr);
	std::mt19937 random(42);
	for (int round = 0; round < 40; round++) {
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0)
			for (int i = 0;; i++)
				save_stored(dir, Unit::celsius, Stored{true, i % 2 ? 20.0 : 25.0, i % 2 == 0, Mode::off});
		usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		Stored got;
		ASSERT_EQ(load(&got), Load::ok) << "round " << round;
		EXPECT_TRUE(got.target == 20 || got.target == 25) << got.target;
		EXPECT_EQ(got.has_mode, got.target == 25) << "the lines of one write, never of two";
	}
}

// What a writer killed between its new file and the rename leaves behind is
// removed, and nothing else: the file, and names mkostemp never makes.
TEST_F(Store, WhatKilledWritersLeftIsCleanedAwayAndNothingElse)
{
	ASSERT_EQ(save_stored(dir, Unit::celsius, Stored{true, 20, false, Mode::heat}), nullptr);
	std::mt19937 random(7);
	for (int round = 0; round < 40; round++) {
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0)
			for (;;)
				save_stored(dir, Unit::celsius, Stored{true, 25, false, Mode::heat});
		usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	for (const char *name : {"setpoint.Ab3dE9", "setpoint.bak", "setpoint.Ab3dE9x", "notes.Ab3dE9", "setpoint.a-b_c."})
		std::fclose(std::fopen((dir + "/" + name).c_str(), "w"));
	fs::create_directory(dir + "/setpoint.Dir123");
	std::vector<std::string> planted = {"notes.Ab3dE9", "setpoint.Ab3dE9x", "setpoint.Dir123", "setpoint.a-b_c.",
	                                    "setpoint.bak"};
	EXPECT_GE(clean_stored(dir), 1u);
	EXPECT_EQ(others(), planted);
	Stored got;
	EXPECT_EQ(load(&got), Load::ok);
}

// A file the daemon did not write, or that others could have replaced, is
// not read, whatever it holds; each says why in its own words.
struct Distrust {
	const char *name;
	std::function<void(const std::string &dir)> plant;  // around a good file
	const char *why;                                    // nullptr: it loads
	bool needs_root;
};

// Named in a failure, rather than dumped as bytes.
void PrintTo(const Distrust &d, std::ostream *os)
{
	*os << d.name;
}

class Untrusted : public Store, public ::testing::WithParamInterface<Distrust> {};

TEST_P(Untrusted, IsNotRead)
{
	const Distrust &d = GetParam();
	if (d.needs_root && geteuid() != 0)
		GTEST_SKIP() << "only root can give a file to another user";
	ASSERT_EQ(save_stored(dir, Unit::celsius, Stored{true, 23, true, Mode::off}), nullptr);
	d.plant(dir);
	Stored got;
	const char *why = nullptr;
	Load l = load(&got, Unit::celsius, &why);
	if (!d.why) {
		EXPECT_EQ(l, Load::ok);
		EXPECT_EQ(got.target, 23);
		return;
	}
	EXPECT_EQ(l, Load::bad) << "held target " << got.target;
	ASSERT_TRUE(why);
	EXPECT_STREQ(why, d.why);
}

INSTANTIATE_TEST_SUITE_P(Files, Untrusted, ::testing::Values(
	Distrust{"Own", [](const std::string &) {}, nullptr, false},
	Distrust{"GroupWritableFolder", [](const std::string &dir) { chmod(dir.c_str(), 0775); }, nullptr, false},
	Distrust{"Symlink", [](const std::string &dir) {
		fs::rename(dir + "/setpoint", dir + "/elsewhere");
		fs::create_symlink("elsewhere", dir + "/setpoint");
	}, "not followed: a symbolic link", false},
	Distrust{"WorldWritableFolder", [](const std::string &dir) { chmod(dir.c_str(), 0777); },
	         "not trusted: its folder can be written by others", false},
	Distrust{"StickyWorldWritableFolder", [](const std::string &dir) { chmod(dir.c_str(), 01777); },
	         "not trusted: its folder can be written by others", false},
	Distrust{"AnotherUsersFile", [](const std::string &dir) { ASSERT_EQ(chown((dir + "/setpoint").c_str(), 4321, 4321), 0); },
	         "not trusted: owned by another user", true},
	// What the board's command, as root, writes for the folder's owner.
	Distrust{"TheFoldersOwnersFileToRoot", [](const std::string &dir) {
		ASSERT_EQ(chown(dir.c_str(), 4321, 4321), 0);
		ASSERT_EQ(chown((dir + "/setpoint").c_str(), 4321, 4321), 0);
	}, nullptr, true}),
	[](const ::testing::TestParamInfo<Distrust> &i) { return std::string(i.param.name); });

// A writer changes its own field over what the file holds, and replaces a
// file it cannot read whole.
TEST_F(Store, AKeptChangeLeavesTheOtherField)
{
	ASSERT_EQ(keep_stored(dir, Unit::celsius, Stored{true, 19.5, false, Mode::heat}), nullptr);
	ASSERT_EQ(keep_stored(dir, Unit::celsius, Stored{false, 0, true, Mode::off}), nullptr);
	Stored got;
	ASSERT_EQ(load(&got), Load::ok);
	EXPECT_TRUE(got.has_target && got.target == 19.5) << "the mode's writer kept the target";
	EXPECT_TRUE(got.has_mode && got.mode == Mode::off);
	put("unit=C\ntarget=2");
	ASSERT_EQ(keep_stored(dir, Unit::celsius, Stored{false, 0, true, Mode::heat}), nullptr);
	ASSERT_EQ(load(&got), Load::ok);
	EXPECT_FALSE(got.has_target) << "nothing of a damaged file is believed";
}

// Writers of the two fields at the same instant, again and again: both
// fields are kept each time, and nothing is left behind.
TEST_F(Store, WritersAtTheSameInstantLoseNothing)
{
	for (int round = 0; round < 30; round++) {
		fs::remove(dir + "/setpoint");
		pid_t pids[2];
		for (int w = 0; w < 2; w++) {
			pids[w] = fork();
			ASSERT_GE(pids[w], 0);
			if (pids[w] == 0) {
				Stored change = w ? Stored{false, 0, true, Mode::off} : Stored{true, 18, false, Mode::heat};
				_exit(keep_stored(dir, Unit::celsius, change) ? 1 : 0);
			}
		}
		for (pid_t pid : pids) {
			int status = -1;
			waitpid(pid, &status, 0);
			EXPECT_EQ(status, 0);
		}
		Stored got;
		ASSERT_EQ(load(&got), Load::ok);
		ASSERT_TRUE(got.has_target && got.has_mode) << "round " << round;
	}
	EXPECT_TRUE(others().empty());
}

// A writer that cannot have the lock gives up in bounded time and says so.
TEST_F(Store, AFolderLockedByAnotherIsSaidNotWaitedForever)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_EQ(flock(fd, LOCK_EX), 0);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		const char *why = keep_stored(dir, Unit::celsius, Stored{true, 18, false, Mode::heat});
		_exit(why && std::strstr(why, "locked") ? 0 : 1);
	}
	int status = -1;
	auto start = std::chrono::steady_clock::now();
	waitpid(pid, &status, 0);
	close(fd);
	EXPECT_EQ(status, 0) << "a save refused, with why";
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
	Stored got;
	EXPECT_EQ(load(&got), Load::none);
}

} // namespace
