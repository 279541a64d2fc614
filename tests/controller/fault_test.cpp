// The client on hostile or failing file systems: full, read-only, with
// directories at its paths, or run by a user without the rights it needs.
// It keeps running (or exits 1 at start-up), reports exactly, writes only
// its command and touches nothing but its two paths.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "isolate.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> names(const std::string &dir)
{
	std::set<std::string> s;
	for (const auto &e : fs::directory_iterator(dir))
		s.insert(e.path().filename());
	return s;
}

// Fills the file system of dir to the last block.
void fill(const std::string &dir)
{
	std::ofstream f(dir + "/filler", std::ios::binary | std::ios::app);
	std::string block(512, 'x');
	while (f.write(block.data(), block.size()) && f.flush())
		;
}

bool exited_with(int status, int code)
{
	return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class Fault : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		// Mounts made here vanish with this process.
		root = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
		       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
	}
	void SetUp() override
	{
		std::string why = cannot_isolate();
		if (!why.empty())
			GTEST_SKIP() << why;
		if (!root)
			GTEST_SKIP() << "needs root to mount file systems and change users";
	}
	// Puts a small tmpfs where the client's /tmp will be.
	void small_tmpfs(const ClientRun &run, const char *options = "size=16k")
	{
		ASSERT_EQ(mount("tmpfs", run.path("").c_str(), "tmpfs", 0, options), 0) << std::strerror(errno);
		ASSERT_EQ(chmod(run.path("").c_str(), 01777), 0);
	}

	static bool root;
	ClientRun run;
};

bool Fault::root = false;

TEST_F(Fault, AFullDiskStillTakesEveryCommandInPlace)
{
	small_tmpfs(run);
	run.put("status", "OFF\n");
	run.put("temp", "60\n");
	fill(run.path(""));
	run.start();
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "ON\n");
	run.put("temp", "80\n");
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.get("status"), "OFF\n");
	EXPECT_EQ(run.take_stderr(), "");
	EXPECT_EQ(names(run.path("")), (std::set<std::string>{"filler", "status", "temp"}));
}

TEST_F(Fault, AFullDiskThatCannotTakeANewStatusFileIsReported)
{
	small_tmpfs(run);
	run.put("temp", "60\n");
	fill(run.path(""));
	run.start();
	EXPECT_FALSE(run.next());
	EXPECT_TRUE(exited_with(run.wait_status(), 1));
	EXPECT_EQ(run.take_stderr(), report("Failed to initialize status file", ENOSPC));
}

TEST_F(Fault, AReadOnlyFileSystemIsReportedEveryCycle)
{
	small_tmpfs(run);
	run.put("status", "OFF\n");
	run.put("temp", "60\n");
	ASSERT_EQ(mount(nullptr, run.path("").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
	run.start();
	for (int i = 0; i < 2; i++) {
		ASSERT_TRUE(run.next());
		EXPECT_EQ(run.take_stderr(), report("Cannot write status", EROFS));
	}
	EXPECT_EQ(run.get("status"), "OFF\n");

	ClientRun fresh;
	small_tmpfs(fresh);
	ASSERT_EQ(mount(nullptr, fresh.path("").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
	fresh.start();
	EXPECT_FALSE(fresh.next());
	EXPECT_TRUE(exited_with(fresh.wait_status(), 1));
	EXPECT_EQ(fresh.take_stderr(), report("Failed to initialize status file", EROFS));
}

TEST_F(Fault, DirectoriesAtThePathsAreNeitherReadNorWritten)
{
	fs::create_directory(run.path("status"));
	run.put("temp", "60\n");
	run.start();
	ASSERT_TRUE(run.next());
	EXPECT_EQ(run.take_stderr(), report("Cannot write status", EISDIR));

	ClientRun other;
	other.put("status", "OFF\n");
	fs::create_directory(other.path("temp"));
	other.start();
	ASSERT_TRUE(other.next());
	EXPECT_EQ(other.take_stderr(), "");
	EXPECT_EQ(other.get("status"), "OFF\n") << "a directory gave a temperature";
	EXPECT_TRUE(fs::is_empty(other.path("temp")));
}

TEST_F(Fault, AUserWithoutRightsGetsReportsNotWrites)
{
	run.put("temp", "60\n");
	ASSERT_EQ(chmod(run.path("").c_str(), 0755), 0);
	run.start(nobody);
	EXPECT_FALSE(run.next());
	EXPECT_TRUE(exited_with(run.wait_status(), 1));
	EXPECT_EQ(run.take_stderr(), report("Failed to initialize status file", EACCES));

	ClientRun other;
	other.put("temp", "60\n");
	other.put("status", "OFF\n");
	ASSERT_EQ(chmod(other.path("temp").c_str(), 0600), 0);
	other.start(nobody);
	ASSERT_TRUE(other.next());
	EXPECT_EQ(other.take_stderr(), report("Cannot read temp", EACCES));
	ASSERT_EQ(chmod(other.path("temp").c_str(), 0644), 0);
	ASSERT_TRUE(other.next());
	EXPECT_EQ(other.take_stderr(), report("Cannot write status", EACCES));
	EXPECT_EQ(other.get("status"), "OFF\n");
}

} // namespace
