// The state module's attempts, retries, waits and reports, with the waits
// and the syslog calls caught by fakes.cpp.
#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes.h"
#include "ombrix.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Each;

const std::string unknown = "we have an unknown heater state; assuming to ON.";
const std::string no_command = "Encountered an unknown heater state!";

std::vector<std::string> six(std::string (*message)(int, int), int err)
{
	std::vector<std::string> v;
	for (int shown = 2; shown <= 64; shown *= 2)
		v.push_back(message(err, shown));
	return v;
}

std::string c_locale_text(float t)
{
	char text[64];
	std::snprintf(text, sizeof text, "%f\n", static_cast<double>(t));
	return text;
}

class State : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string tmpl = fs::temp_directory_path() / "ombrix-XXXXXX";
		ASSERT_TRUE(mkdtemp(tmpl.data()));
		dir = tmpl;
		reset();
	}
	void TearDown() override
	{
		EXPECT_THAT(calls().priorities, Each(LOG_INFO));
		std::setlocale(LC_NUMERIC, "C");
		fs::remove_all(dir);
	}
	std::string path(const char *name) const { return dir + "/" + name; }
	void put(const char *name, const std::string &text) const
	{
		std::ofstream(path(name), std::ios::binary) << text;
	}
	std::string get(const char *name) const
	{
		std::stringstream ss;
		ss << std::ifstream(path(name), std::ios::binary).rdbuf();
		return ss.str();
	}

	std::string dir;
};

struct Line {
	const char *text;
	int state;
	const char *log;
};

TEST_F(State, ReadFindsTheTokensAnywhereInTheFirstLine)
{
	const Line lines[] = {
		{"ON\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"OFF\n", OMBRIX_HEATER_OFF, "HEATER IS OFF"},
		{"OFF", OMBRIX_HEATER_OFF, "HEATER IS OFF"},
		{"ON OFF\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"OFF ON\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{" ON\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"ONLINE\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"MONDAY\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"xxxxxxxxxxxxxxxxxxxxxxxxxxxxOFF\n", OMBRIX_HEATER_OFF, "HEATER IS OFF"},
		{"", OMBRIX_HEATER_ON, unknown.c_str()},
		{"O", OMBRIX_HEATER_ON, unknown.c_str()},
		{"OF", OMBRIX_HEATER_ON, unknown.c_str()},
		{"on\n", OMBRIX_HEATER_ON, unknown.c_str()},
		{"off\n", OMBRIX_HEATER_ON, unknown.c_str()},
		{"banana\nOFF\n", OMBRIX_HEATER_ON, unknown.c_str()},
		{"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxOFF\n", OMBRIX_HEATER_ON, unknown.c_str()},
	};
	for (const Line &l : lines) {
		reset();
		put("status", l.text);
		int state = 42;
		EXPECT_EQ(ombrix_read_state(path("status").c_str(), &state), OMBRIX_OK) << l.text;
		EXPECT_EQ(state, l.state) << l.text;
		EXPECT_THAT(calls().logs, ElementsAre(l.log)) << l.text;
		EXPECT_THAT(calls().sleeps, ElementsAre(1u)) << l.text;
	}
}

// The strict read takes only what the controller writes: everything the
// lenient read would turn into ON by guessing is no command at all.
TEST_F(State, ReadCommandTakesOnlyTheControllersTwoLines)
{
	const Line lines[] = {
		{"ON\n", OMBRIX_HEATER_ON, "HEATER IS ON"},
		{"OFF\n", OMBRIX_HEATER_OFF, "HEATER IS OFF"},
		{"ON\n\n", OMBRIX_HEATER_ON, "HEATER IS ON"},  // mid-rewrite from OFF to ON
		{"ON\ngarbage", OMBRIX_HEATER_ON, "HEATER IS ON"},
	};
	for (const Line &l : lines) {
		reset();
		put("status", l.text);
		int state = 42;
		EXPECT_EQ(ombrix_read_command(path("status").c_str(), &state), OMBRIX_OK) << l.text;
		EXPECT_EQ(state, l.state) << l.text;
		EXPECT_THAT(calls().logs, ElementsAre(l.log)) << l.text;
		EXPECT_THAT(calls().sleeps, ElementsAre(1u)) << l.text;
	}
	for (const char *text : {"", "O", "OF", "ON", "OFF", "on\n", "off\n", " ON\n", "ON \n",
	                         "ON OFF\n", "ONLINE\n", "MONDAY\n", "garbage\n", "\nON\n"}) {
		reset();
		put("status", text);
		int state = 42;
		EXPECT_EQ(ombrix_read_command(path("status").c_str(), &state), OMBRIX_ERR_UNKNOWN_STATE)
			<< text;
		EXPECT_EQ(state, 42) << text;
		EXPECT_THAT(calls().logs, ElementsAre(no_command)) << text;
		EXPECT_THAT(calls().sleeps, ElementsAre(1u)) << text;
	}
}

TEST_F(State, ReadCommandOfAFifoOrAFolderIsNoCommand)
{
	ASSERT_EQ(mkfifo(path("fifo").c_str(), 0666), 0);
	fs::create_directory(path("folder"));
	for (const char *name : {"fifo", "folder"}) {
		reset();
		int state = 42;
		EXPECT_EQ(ombrix_read_command(path(name).c_str(), &state), OMBRIX_ERR_UNKNOWN_STATE) << name;
		EXPECT_EQ(state, 42) << name;
		EXPECT_THAT(calls().logs, ElementsAre(no_command)) << name;
	}
}

TEST_F(State, ReadCommandRetriesAsReadStateDoes)
{
	int state = 42;
	EXPECT_EQ(ombrix_read_command(path("status").c_str(), &state), OMBRIX_ERR_FILE_OPEN);
	EXPECT_EQ(state, 42);
	EXPECT_THAT(calls().sleeps, ElementsAre(1u, 1u, 2u, 2u, 4u, 4u, 8u, 8u, 16u, 16u, 32u, 32u));
	EXPECT_THAT(calls().logs, ElementsAreArray(six(failed_read, ENOENT)));

	reset();
	calls().on_sleep = [&](size_t n) {
		if (n == 2)
			put("status", "banana\n");
	};
	EXPECT_EQ(ombrix_read_command(path("status").c_str(), &state), OMBRIX_ERR_UNKNOWN_STATE);
	EXPECT_THAT(calls().sleeps, ElementsAre(1u, 1u, 2u));
	EXPECT_THAT(calls().logs, ElementsAre(failed_read(ENOENT, 2), no_command));
}

TEST_F(State, ReadGivesUpAfterSixFailuresAndLeavesTheStateAlone)
{
	for (bool interrupted : {false, true}) {
		reset();
		calls().interrupted = interrupted;
		int state = 42;
		EXPECT_EQ(ombrix_read_state(path("status").c_str(), &state), OMBRIX_ERR_FILE_OPEN);
		EXPECT_EQ(state, 42);
		EXPECT_THAT(calls().sleeps, ElementsAre(1u, 1u, 2u, 2u, 4u, 4u, 8u, 8u, 16u, 16u, 32u, 32u));
		EXPECT_THAT(calls().logs, ElementsAreArray(six(failed_read, ENOENT)))
			<< (interrupted ? "with every wait cut short by a signal" : "");
	}
}

TEST_F(State, ReadTakesAStatusFileThatAppearsAtTheSecondAttempt)
{
	for (const char *text : {"OFF\n", "banana\n"}) {
		reset();
		fs::remove(path("status"));
		calls().on_sleep = [&](size_t n) {
			if (n == 2)
				put("status", text);
		};
		int state = 42;
		EXPECT_EQ(ombrix_read_state(path("status").c_str(), &state), OMBRIX_OK);
		EXPECT_THAT(calls().sleeps, ElementsAre(1u, 1u, 2u));
		bool off = std::strcmp(text, "OFF\n") == 0;
		EXPECT_EQ(state, off ? OMBRIX_HEATER_OFF : OMBRIX_HEATER_ON);
		EXPECT_THAT(calls().logs, ElementsAre(failed_read(ENOENT, 2), off ? "HEATER IS OFF" : unknown));
	}
}

TEST_F(State, ReadOfAPlantedFifoDoesNotBlock)
{
	ASSERT_EQ(mkfifo(path("status").c_str(), 0666), 0);
	int state = 42;
	EXPECT_EQ(ombrix_read_state(path("status").c_str(), &state), OMBRIX_OK);
	EXPECT_EQ(state, OMBRIX_HEATER_ON);
	EXPECT_THAT(calls().logs, ElementsAre(unknown));
}

TEST_F(State, WriteSucceedsAtOnceWithTheCLocaleText)
{
	const float values[] = {72.5f, -3.25f, 0.0f, -0.0f, 69.0f, FLT_MAX, -FLT_MAX, FLT_MIN,
	                        INFINITY, -INFINITY, NAN, -NAN};
	for (float t : values) {
		reset();
		EXPECT_EQ(ombrix_write_temperature(path("temp").c_str(), t), OMBRIX_OK);
		EXPECT_EQ(get("temp"), c_locale_text(t));
		EXPECT_TRUE(calls().logs.empty());
		EXPECT_TRUE(calls().sleeps.empty());
	}
	EXPECT_EQ(c_locale_text(72.5f), "72.500000\n");
	EXPECT_EQ(c_locale_text(-NAN), "-nan\n");
}

TEST_F(State, WriteUsesAPointUnderAnyLocale)
{
	// LOCPATH holds locales made for the tests; see tests/lib/CMakeLists.txt.
	for (const char *locale : {"de_DE.UTF-8", "ps_AF.UTF-8"}) {
		if (!std::setlocale(LC_NUMERIC, locale))
			GTEST_SKIP() << locale << " is not available here";
		char shown[64];
		std::snprintf(shown, sizeof shown, "%f", 72.5);
		ASSERT_STRNE(shown, "72.500000") << locale << " should have another radix";
		for (float t : {72.5f, -3.25f, FLT_MAX, NAN}) {
			EXPECT_EQ(ombrix_write_temperature(path("temp").c_str(), t), OMBRIX_OK);
			std::setlocale(LC_NUMERIC, "C");
			std::string expected = c_locale_text(t);
			std::setlocale(LC_NUMERIC, locale);
			EXPECT_EQ(get("temp"), expected) << locale;
		}
	}
}

TEST_F(State, WriteGivesUpAfterSixFailures)
{
	EXPECT_EQ(ombrix_write_temperature(path("no/such/dir/temp").c_str(), 72.5f),
	          OMBRIX_ERR_FILE_OPEN);
	EXPECT_THAT(calls().sleeps, ElementsAre(1u, 2u, 4u, 8u, 16u, 32u));
	EXPECT_THAT(calls().logs, ElementsAreArray(six(failed_write, ENOENT)));
}

TEST_F(State, WriteRetriesUntilTheFolderAppears)
{
	calls().on_sleep = [&](size_t n) {
		if (n == 2)
			fs::create_directory(path("later"));
	};
	EXPECT_EQ(ombrix_write_temperature(path("later/temp").c_str(), 66.0f), OMBRIX_OK);
	EXPECT_THAT(calls().sleeps, ElementsAre(1u, 2u));
	EXPECT_THAT(calls().logs, ElementsAre(failed_write(ENOENT, 2), failed_write(ENOENT, 4)));
	EXPECT_EQ(get("later/temp"), "66.000000\n");
}

TEST_F(State, WriteRewritesInPlaceAndRefusesAnythingButItsOwnRegularFile)
{
	put("temp", "a much longer line than any temperature\n");
	struct stat before {}, after {};
	ASSERT_EQ(stat(path("temp").c_str(), &before), 0);
	EXPECT_EQ(ombrix_write_temperature(path("temp").c_str(), 7.0f), OMBRIX_OK);
	ASSERT_EQ(stat(path("temp").c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(get("temp"), "7.000000\n");

	struct Planted {
		const char *what;
		int err;
	};
	for (auto [what, err] : {Planted{"link", ELOOP}, Planted{"hard link", EMLINK},
	                         Planted{"fifo", ENXIO}}) {
		reset();
		fs::remove(path("temp"));
		put("victim", "keep\n");
		if (std::strcmp(what, "link") == 0)
			fs::create_symlink("victim", path("temp"));
		else if (std::strcmp(what, "hard link") == 0)
			fs::create_hard_link(path("victim"), path("temp"));
		else
			ASSERT_EQ(mkfifo(path("temp").c_str(), 0666), 0);
		EXPECT_EQ(ombrix_write_temperature(path("temp").c_str(), 80.0f), OMBRIX_ERR_FILE_OPEN) << what;
		EXPECT_THAT(calls().logs, ElementsAreArray(six(failed_write, err))) << what;
		EXPECT_EQ(get("victim"), "keep\n") << what;
		fs::remove(path("temp"));
	}
}

} // namespace
