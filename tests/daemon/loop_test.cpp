// The main job in real time: demo.sh runs the real client and ombrixd's
// simulated room in a private /tmp until ombrixd drives the heater ON, then
// a SIGTERM to the script ends both, with the heater OFF.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "isolate.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto switch_deadline = 45s;  // the client decides every 5 s
constexpr auto stop_deadline = 10s;

std::string slurp(const fs::path &p)
{
	std::stringstream ss;
	ss << std::ifstream(p, std::ios::binary).rdbuf();
	return ss.str();
}

bool heater_driven_on(const std::string &out)
{
	return out.find(" heater=ON ") != std::string::npos;
}

TEST(Loop, ClientAndSimulatedRoomSwitchTheHeaterThroughTheFiles)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	std::string root = std::string(SCRATCH_ROOT) + "/loop-XXXXXX";
	ASSERT_TRUE(mkdtemp(root.data()));
	fs::path tmp = fs::path(root) / "tmp", out = fs::path(root) / "out";
	fs::create_directory(tmp);
	int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	ASSERT_GE(fd, 0);

	// Relative to the build folder, which stays the child's working folder
	// and so stays in reach when it lies under the covered /tmp.
	std::string out_dir = fs::relative(root, BUILD_ROOT);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		setpgid(0, 0);
		setenv("DEMO_OUT", out_dir.c_str(), 1);
		setenv("EMULATOR", EMULATOR, 1);
		if (chdir(BUILD_ROOT) < 0 || !isolate(tmp.c_str()) || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
			_exit(126);
		execl("/bin/sh", "sh", "./daemon/demo.sh", "./controller/client", "./daemon/ombrixd",
		      "60", static_cast<char *>(nullptr));
		_exit(127);
	}
	setpgid(pid, pid);
	close(fd);

	auto end = std::chrono::steady_clock::now() + switch_deadline * emulator_slowdown;
	fs::path states_log = fs::path(root) / "demo.log";
	while (!heater_driven_on(slurp(states_log)) && std::chrono::steady_clock::now() < end)
		std::this_thread::sleep_for(100ms);
	kill(pid, SIGTERM);
	int status = 0;
	bool ended = reap(pid, &status, stop_deadline);
	if (!ended)
		kill(-pid, SIGKILL);
	std::string text = slurp(out);
	EXPECT_TRUE(ended) << "the demo did not stop on SIGTERM\n" << text;
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
	std::string states = slurp(states_log);
	EXPECT_TRUE(heater_driven_on(states)) << "ombrixd never drove the heater ON\n" << text;
	size_t last = states.rfind(" heater=");
	EXPECT_EQ(states.compare(last, 12, " heater=OFF "), 0) << "the heater was left ON\n" << states;
	EXPECT_NE(text.find("ombrixd: Received a termination signal; exiting.\n"), std::string::npos) << text;
	EXPECT_EQ(kill(-pid, 0), -1) << "something of the demo is still running";
	std::string command = slurp(tmp / "status");
	EXPECT_TRUE(command == "ON\n" || command == "OFF\n") << command;
	float temp = 0;
	EXPECT_EQ(std::sscanf(slurp(tmp / "temp").c_str(), "%f", &temp), 1);
	EXPECT_GE(temp, 60.0f);
	EXPECT_LE(temp, 80.0f);
	if (std::system("command -v gnuplot >/dev/null") == 0) {
		EXPECT_NE(text.find("Picture of the run: "), std::string::npos) << text;
		EXPECT_NE(slurp(fs::path(root) / "demo.svg").find("<svg"), std::string::npos);
	}
	fs::remove_all(root);
}

} // namespace
