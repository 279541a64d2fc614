// The toolkit the daemon's parts share: numbers as people and devices
// write them, and files that someone else may have planted.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kit/file.h"
#include "kit/number.h"

namespace fs = std::filesystem;

namespace {

// What a person or the hub gives is a plain decimal, or nothing.
TEST(Number, APersonsIsAPlainDecimal)
{
	const struct {
		const char *text;
		bool good;
		double value;
	} cases[] = {
		{"21", true, 21},
		{"-3.5", true, -3.5},
		{"0.25", true, 0.25},
		{"72.", true, 72},
		{".5", true, 0.5},
		{"0x46", false, 0},
		{"0x1.2p6", false, 0},
		{"7e1", false, 0},
		{"1E2", false, 0},
		{"+21", false, 0},
		{" 21", false, 0},
		{"21 ", false, 0},
		{"nan", false, 0},
		{"inf", false, 0},
		{"-", false, 0},
		{".", false, 0},
		{"1.2.3", false, 0},
		{"--5", false, 0},
		{"", false, 0},
	};
	for (const auto &c : cases) {
		double v = -1;
		EXPECT_EQ(parse_number(c.text, &v), c.good) << c.text;
		EXPECT_EQ(v, c.good ? c.value : -1) << c.text << ": a refused number leaves the value alone";
	}
	std::string long_one = "21." + std::string(number_len_max - 3, '0');
	double v;
	EXPECT_TRUE(parse_number(long_one, &v));
	EXPECT_FALSE(parse_number(long_one + "0", &v)) << "more digits than a double holds";
	EXPECT_FALSE(parse_number(std::string(1000, '7'), &v));
}

// What the program wrote itself reads back, exponent and all.
TEST(Number, WhatTheProgramWroteReadsBack)
{
	for (double x : {72.4, -0.001, 1e-05, 64.0}) {
		char text[32];
		std::snprintf(text, sizeof text, "%.17g", x);
		double v;
		ASSERT_TRUE(parse_written_number(text, &v)) << text;
		EXPECT_EQ(v, x) << text;
	}
	double v;
	EXPECT_FALSE(parse_written_number("1e999", &v)) << "not finite";
	EXPECT_FALSE(parse_written_number("0x10", &v));
}

class OpenRegular : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir = fs::path(SCRATCH_ROOT) / "kit";
		fs::remove_all(dir);
		fs::create_directories(dir);
		std::ofstream(dir / "plain") << "0123456789";
	}

	// The words of the open's refusal, or "" when it opened.
	std::string why(const fs::path &p, int flags, size_t max)
	{
		const char *w = nullptr;
		int fd = open_regular(p.c_str(), flags, max, &w);
		if (fd >= 0)
			close(fd);
		return fd >= 0 ? "" : w;
	}

	fs::path dir;
};

TEST_F(OpenRegular, OpensAPlainFileAndRefusesWhatWasPlanted)
{
	ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
	fs::create_symlink(dir / "plain", dir / "link");
	fs::create_directory(dir / "folder");
	fs::create_directory_symlink(dir, dir / "via");
	EXPECT_EQ(why(dir / "plain", O_RDONLY, 10), "");
	EXPECT_EQ(why(dir / "plain", O_RDONLY, 9), file_too_long);
	EXPECT_EQ(why(dir / "fifo", O_RDONLY, 10), file_not_regular) << "a reader's FIFO opens, and is refused";
	EXPECT_EQ(why(dir / "fifo", O_WRONLY, 10), file_not_regular) << "a writer's fails at once";
	EXPECT_EQ(why(dir / "folder", O_RDONLY, 10), file_not_regular);
	EXPECT_EQ(why("/dev/zero", O_RDONLY, 10), file_not_regular);
	EXPECT_EQ(why(dir / "link", O_RDONLY, 10), "") << "a link is followed unless the file must be itself";
	EXPECT_EQ(why(dir / "link", O_RDONLY | O_NOFOLLOW, 10), file_is_link);
	EXPECT_EQ(why(dir / "via" / "plain", O_RDONLY | O_NOFOLLOW, 10), "") << "a folder on the way may be a link";
	EXPECT_NE(why(dir / "absent", O_RDONLY, 10), "");
}

} // namespace
