// The library when its system calls fail: every failed step of a write is
// a failed attempt, reported with its own error, and never empties the file.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes.h"
#include "ombrix.h"
#include "syscall_faults.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class Faulty : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string tmpl = fs::temp_directory_path() / "ombrix-faults-XXXXXX";
		ASSERT_TRUE(mkdtemp(tmpl.data()));
		dir = tmpl;
		std::ofstream(path(), std::ios::binary) << "72.500000\n";
		reset();
		faults() = Faults{};
	}
	void TearDown() override
	{
		faults() = Faults{};
		fs::remove_all(dir);
	}
	std::string path() const { return dir + "/temp"; }
	std::string content() const
	{
		std::stringstream ss;
		ss << std::ifstream(path(), std::ios::binary).rdbuf();
		return ss.str();
	}

	std::string dir;
};

TEST_F(Faulty, AFullDiskIsRetriedReportedAndLeavesTheLastTemperature)
{
	faults().write.assign(6, ENOSPC);
	EXPECT_EQ(ombrix_write_temperature(path().c_str(), 80.0f), OMBRIX_ERR_FILE_OPEN);
	EXPECT_EQ(calls().logs.size(), 6u);
	EXPECT_EQ(calls().logs.back(), failed_write(ENOSPC, 64));
	EXPECT_EQ(content(), "72.500000\n");
}

TEST_F(Faulty, EachFailedStepIsOneFailedAttemptWithItsOwnError)
{
	struct Step {
		std::deque<int> Faults::*queue;
		int err;
	};
	for (auto [queue, err] : {Step{&Faults::fstat, EIO}, Step{&Faults::ftruncate, EFBIG},
	                          Step{&Faults::close, EIO}, Step{&Faults::write, EDQUOT}}) {
		reset();
		faults() = Faults{};
		(faults().*queue).push_back(err);
		EXPECT_EQ(ombrix_write_temperature(path().c_str(), 66.0f), OMBRIX_OK);
		EXPECT_THAT(calls().logs, ElementsAre(failed_write(err, 2))) << std::strerror(err);
		EXPECT_THAT(calls().sleeps, ElementsAre(1u));
		EXPECT_EQ(content(), "66.000000\n");
	}
}

TEST_F(Faulty, ShortAndInterruptedWritesStillWriteTheWholeLine)
{
	faults().write = {EINTR, Faults::short_write, Faults::short_write, EINTR};
	EXPECT_EQ(ombrix_write_temperature(path().c_str(), -3.25f), OMBRIX_OK);
	EXPECT_TRUE(calls().logs.empty());
	EXPECT_EQ(content(), "-3.250000\n");
}

TEST_F(Faulty, AStreamThatCannotBeMadeIsAFailedRead)
{
	std::ofstream(dir + "/status", std::ios::binary) << "OFF\n";
	faults().fdopen = {ENOMEM};
	int state = 42;
	EXPECT_EQ(ombrix_read_state((dir + "/status").c_str(), &state), OMBRIX_OK);
	EXPECT_EQ(state, OMBRIX_HEATER_OFF);
	EXPECT_THAT(calls().logs,
	            ElementsAre("failed state read with (" + std::string(std::strerror(ENOMEM)) +
	                                "); retry with interval (2)",
	                        "HEATER IS OFF"));
}

} // namespace
