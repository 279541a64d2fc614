// ombrixd's sensors on the formats real ones give, and on real files and
// commands.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "process.h"
#include "room.h"
#include "sensors/sensor.h"

namespace fs = std::filesystem;

namespace {

struct Parsed {
	bool ok;
	float value;
	const char *why;
};

Parsed parse(bool (*parser)(const char *, float *, const char **), const char *text)
{
	Parsed p{false, NAN, nullptr};
	p.ok = parser(text, &p.value, &p.why);
	EXPECT_TRUE(p.ok || p.why) << "a bad reading says why: " << text;
	return p;
}

void expect_value(bool (*parser)(const char *, float *, const char **), const char *text, float v)
{
	Parsed p = parse(parser, text);
	EXPECT_TRUE(p.ok) << text << ": " << (p.why ? p.why : "");
	EXPECT_FLOAT_EQ(p.value, v) << text;
}

void expect_bad(bool (*parser)(const char *, float *, const char **), const char *text)
{
	EXPECT_FALSE(parse(parser, text).ok) << text;
}

} // namespace

TEST(Parse, Millidegrees)
{
	expect_value(parse_millidegrees, "23125\n", 23.125f);
	expect_value(parse_millidegrees, "23125", 23.125f);
	expect_value(parse_millidegrees, "-12500\n", -12.5f);
	expect_value(parse_millidegrees, "0\n", 0.0f);
	expect_bad(parse_millidegrees, "");
	expect_bad(parse_millidegrees, "\n");
	expect_bad(parse_millidegrees, "23.125\n");
	expect_bad(parse_millidegrees, "abc\n");
	expect_bad(parse_millidegrees, "99999999999999999999999\n");
}

TEST(Parse, W1)
{
	const char *good = "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=23125\n";
	expect_value(parse_w1, good, 23.125f);
	expect_value(parse_w1, "ef ff 55 00 7f ff 0c 10 2f : crc=2f YES\nef ff 55 00 7f ff 0c 10 2f t=-1062\n",
	             -1.062f);
	// A CRC that failed: the number behind it is noise.
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 NO\n72 01 4b 46 7f ff 0e 10 57 t=23125\n");
	// 85 °C is the chip's value before its first conversion.
	expect_bad(parse_w1, "50 05 4b 46 7f ff 0c 10 1c : crc=1c YES\n50 05 4b 46 7f ff 0c 10 1c t=85000\n");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57\n");
	// A bus that reads only zeros passes the CRC, and 0 °C is no reading.
	expect_bad(parse_w1, "00 00 00 00 00 00 00 00 00 : crc=00 YES\n00 00 00 00 00 00 00 00 00 t=0\n");
	expect_value(parse_w1, "00 00 4b 46 7f ff 00 10 5c : crc=5c YES\n00 00 4b 46 7f ff 00 10 5c t=0\n", 0.0f);
	// Cut short at every length, the number's digits among them: never a
	// reading, right or wrong.
	std::string whole(good);
	for (size_t n = 0; n < whole.size(); n++)
		EXPECT_FALSE(parse(parse_w1, whole.substr(0, n).c_str()).ok) << whole.substr(0, n);
	// A t= that is not what the bytes on its line hold, and a line of
	// bytes that are no scratchpad.
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=2312\n");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=-23125\n");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\nzz 01 4b 46 7f ff 0e 10 57 t=23125\n");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n172 01 4b 46 7f ff 0e 10 57 t=23125\n");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=");
	expect_bad(parse_w1, "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n");
	expect_bad(parse_w1, "");
	// t= on a third line is not the second line's.
	expect_bad(parse_w1, "aa : crc=57 YES\n72 01\nt=23125\n");
}

TEST(Parse, PlainNumber)
{
	expect_value(parse_plain_number, "21.5\n", 21.5f);
	expect_value(parse_plain_number, "  -3.25  \n", -3.25f);
	expect_value(parse_plain_number, "72", 72.0f);
	expect_bad(parse_plain_number, "");
	expect_bad(parse_plain_number, "\n");
	expect_bad(parse_plain_number, "garbage\n");
	expect_bad(parse_plain_number, "nan\n");
	expect_bad(parse_plain_number, "inf\n");
	expect_bad(parse_plain_number, "-inf\n");
	expect_bad(parse_plain_number, "1e39\n");  // beyond a float
	expect_bad(parse_plain_number, "21.5 C\n");
}

namespace {

class ReadSensor : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir = fs::path(SCRATCH_ROOT) / "sensor" /
		      ::testing::UnitTest::GetInstance()->current_test_info()->name();
		fs::remove_all(dir);
		fs::create_directories(dir);
	}

	Sensor make(const char *kind, const std::string &arg)
	{
		Config cfg;
		cfg.sensor = find_sensor(kind);
		cfg.sensor_arg = arg;
		Sensor s;
		EXPECT_TRUE(open_sensor(cfg, nullptr, s));
		return s;
	}

	std::string put(const char *name, const char *text)
	{
		std::string path = (dir / name).string();
		std::ofstream(path) << text;
		return path;
	}

	fs::path dir;
};

// Dead: no such process, or a zombie that its new parent has yet to reap.
bool dead(pid_t pid)
{
	if (kill(pid, 0) < 0 && errno == ESRCH)
		return true;
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string id, name, state;
	stat >> id >> name >> state;
	return !stat || state == "Z";
}

bool gone(pid_t pid)
{
	using namespace std::chrono_literals;
	for (int i = 0; i < 100; i++, std::this_thread::sleep_for(10ms))
		if (dead(pid))
			return true;
	return false;
}

} // namespace

TEST_F(ReadSensor, Files)
{
	Reading r = read_sensor(make("hwmon", put("temp1_input", "-12500\n")), 0);
	EXPECT_FLOAT_EQ(r.value, -12.5f);
	r = read_sensor(make("w1", put("w1_slave",
	                                          "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n"
	                                          "72 01 4b 46 7f ff 0e 10 57 t=23125\n")),
	                0);
	EXPECT_FLOAT_EQ(r.value, 23.125f);
	r = read_sensor(make("file", put("temp", "71.5\n")), 0);
	EXPECT_FLOAT_EQ(r.value, 71.5f);

	// A w1 chip comes and goes: missing at start is no reason to refuse.
	Sensor missing = make("w1", (dir / "absent").string());
	r = read_sensor(missing, 0);
	EXPECT_TRUE(std::isnan(r.value));
	EXPECT_NE(r.why, nullptr);
	put("absent", "40 01 4b 46 7f ff 00 10 aa : crc=aa YES\n40 01 4b 46 7f ff 00 10 aa t=20000\n");
	EXPECT_FLOAT_EQ(read_sensor(missing, 0).value, 20.0f);

	r = read_sensor(make("file", put("empty", "")), 0);
	EXPECT_TRUE(std::isnan(r.value));
	EXPECT_NE(r.why, nullptr);
}

TEST_F(ReadSensor, FifoDoesNotBlock)
{
	std::string path = (dir / "fifo").string();
	ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	EXPECT_TRUE(std::isnan(read_sensor(make("file", path), 0).value));
}

TEST_F(ReadSensor, Commands)
{
	size_t fds = open_fds();
	EXPECT_FLOAT_EQ(read_sensor(make("exec", "echo 21.5"), 0).value, 21.5f);
	EXPECT_FLOAT_EQ(read_sensor(make("exec", "printf ' -3.25 \\n'"), 0).value, -3.25f);
	// A number in a message or a chip's name is no reading.
	for (const char *not_a_reading : {"echo 'Error 2: no such device'", "echo 28-0123456789ab",
	                                  "echo 'room 21.5 C'", "echo '21.5 22.5'"}) {
		Reading bad = read_sensor(make("exec", not_a_reading), 0);
		EXPECT_TRUE(std::isnan(bad.value)) << not_a_reading << " read as " << bad.value;
		EXPECT_NE(bad.why, nullptr);
	}
	// The number before a failure is no reading.
	Reading r = read_sensor(make("exec", "echo 21.5; exit 3"), 0);
	EXPECT_TRUE(std::isnan(r.value));
	EXPECT_NE(r.why, nullptr);
	r = read_sensor(make("exec", "true"), 0);
	EXPECT_TRUE(std::isnan(r.value));
	EXPECT_NE(r.why, nullptr);
	EXPECT_EQ(open_fds(), fds);
}

TEST_F(ReadSensor, HangingCommandIsKilledWithItsGroup)
{
	std::string pid_file = (dir / "pid").string();
	size_t fds = open_fds();
	auto start = std::chrono::steady_clock::now();
	Reading r = read_sensor(make("exec", "sleep 30 & echo $! > " + pid_file + "; wait"), 0);
	double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	EXPECT_TRUE(std::isnan(r.value));
	EXPECT_NE(r.why, nullptr);
	EXPECT_GE(took, exec_sensor_timeout_s - 0.1);
	EXPECT_LT(took, exec_sensor_timeout_s + 1.5);

	pid_t background = 0;
	std::ifstream(pid_file) >> background;
	ASSERT_GT(background, 0);
	EXPECT_TRUE(gone(background)) << "the command's background child lives on";
	EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
	EXPECT_EQ(open_fds(), fds);
}

TEST(SimRoom, FollowsItsHeater)
{
	Room room(0);
	Config cfg;
	cfg.sensor = find_sensor("sim");
	Sensor s;
	ASSERT_TRUE(open_sensor(cfg, &room, s));
	EXPECT_EQ(sensor_unit(cfg), Unit::celsius);
	float start = read_sensor(s, 0).value;
	EXPECT_NEAR(start, 22.2f, 0.05f);
	// OFF it cools towards the 10 °C outside, never below.
	EXPECT_LT(read_sensor(s, 10).value, start);
	EXPECT_NEAR(read_sensor(s, 10000).value, 10.0f, 0.01f);
	// ON it gains about 2/3 °C a second less the loss, up to the balance
	// where the loss takes all the heater gives.
	room.set_heater(true, 10000);
	EXPECT_NEAR(read_sensor(s, 10001).value, 10.0f + 2.0f / 3, 0.01f);
	EXPECT_NEAR(read_sensor(s, 20000).value, 10.0f + (2.0f / 3) / 0.02f, 0.01f);
	// A clock reading from another thread that lags is no step back.
	EXPECT_NEAR(read_sensor(s, 19000).value, 10.0f + (2.0f / 3) / 0.02f, 0.01f);
}
