// What the black-box tests of the real ombrixd share: file: sensors and
// heaters in a private /tmp, short settings, and a fixture with a DaemonRun.
#pragma once

#include <chrono>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_run.h"
#include "isolate.h"

namespace blackbox {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;


inline constexpr int timeout_s = 3;                // --sensor-timeout of these runs
inline constexpr auto lost_deadline = 4s;          // the timeout and one second
inline constexpr auto settle = 3s;                 // for a change a period or two away
inline constexpr auto client_deadline = 15s;       // the client decides every 5 s
inline constexpr auto stop_deadline = 3s;
inline constexpr auto exec_kill_deadline = 12s;    // the 10 s an exec: heater gets, and slack

inline const char on[] = "1\n", off[] = "0\n";

// A file: sensor in °F and a file: heater, both in the private /tmp.
inline std::vector<std::string> files(std::vector<std::string> extra = {})
{
	std::vector<std::string> args = {"--sensor", "file:/tmp/sensor", "--sensor-unit", "F",
	                                 "--heater", "file:/tmp/heater", "--period", "1",
	                                 "--sensor-timeout", std::to_string(timeout_s)};
	args.insert(args.end(), extra.begin(), extra.end());
	return args;
}

inline bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

inline size_t count(const std::string &text, const std::string &part)
{
	size_t n = 0;
	for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
		n++;
	return n;
}

// Test parameters print as the words they stand for, so each case keeps
// one name from build to build.
inline void print_args(const std::vector<std::string> &args, std::ostream *os)
{
	for (size_t i = 0; i < args.size(); i++)
		*os << (i ? " " : "") << args[i];
}

inline std::vector<std::string> lines(const std::string &text)
{
	std::vector<std::string> v;
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		v.push_back(l);
	return v;
}

class Daemon : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string why = cannot_isolate();
		if (!why.empty())
			GTEST_SKIP() << why;
	}

	bool heater_is(const char *state, std::chrono::milliseconds deadline)
	{
		return wait_for([&] { return run.get("heater") == state; }, deadline);
	}

	// The state line follows the switch, so it may come a moment after
	// the heater file changed.
	bool prints(const std::string &part)
	{
		return wait_for([&] { return has(run.out(), part); }, 1s);
	}

	// The daemon alone, the test writing the controller's command: the
	// heater ON from a good reading of 60 °F.
	void start_on(std::vector<std::string> extra = {})
	{
		run.put("sensor", "60\n");
		run.put("heater", off);
		run.put("status", "ON\n");
		run.start(files(extra), false);
		ASSERT_TRUE(heater_is(on, settle)) << run.err();
	}

	// Reports go out through the log's own thread, so they too may come a
	// moment after the heater file changed.
	bool reports(const std::string &part)
	{
		return wait_for([&] { return has(run.err(), part); }, 1s);
	}

	std::string context() const { return "stdout:\n" + run.out() + "stderr:\n" + run.err(); }

	DaemonRun run;
};

} // namespace blackbox
