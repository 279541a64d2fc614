// Concurrent stress in a private /tmp: the real client cycling flat out, a
// writer publishing temperatures across both thresholds through the
// library, a reader reading heater states through it, and a second reader
// parsing the temperature file as the client does, all at once for a
// bounded time (STRESS_SECONDS, default 5).  Once a file exists no reader
// may meet it empty or torn, and nothing may crash, hang or leak.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exchange.h"
#include "fakes.h"
#include "isolate.h"
#include "ombrix.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr float lowest = 60.0f;    // the writer's triangle wave, in
constexpr float highest = 80.0f;   // steps of a quarter degree, which
constexpr float step = 0.25f;      // "%f" writes and reads back exactly
constexpr auto stop_deadline = 10s;

struct Tally {
	uint64_t done = 0;     // operations completed
	uint64_t bad = 0;      // operations that met something wrong
	uint64_t changes = 0;  // heater states that differ from the one before
	size_t fds_before = 0;
	size_t fds_after = 0;
	char first_bad[96] = "";
};

bool published(float t)
{
	float k = (t - lowest) / step;
	return t >= lowest && t <= highest && k == std::floor(k);
}

void note_bad(Tally &t, const std::string &what)
{
	if (t.bad++ == 0)
		std::snprintf(t.first_bad, sizeof t.first_bad, "%s", what.c_str());
}

// Runs work in a child until stop is set, then writes its tally to a pipe.
struct Worker {
	pid_t pid = -1;
	int result = -1;
};

Worker spawn(const std::function<void(Tally &, const volatile sig_atomic_t &)> &work)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		return {};
	pid_t pid = fork();
	if (pid == 0) {
		static volatile sig_atomic_t stop = 0;
		std::signal(SIGTERM, [](int) { stop = 1; });
		Tally t;
		close(fds[0]);
		t.fds_before = open_fds();
		work(t, stop);
		t.fds_after = open_fds();
		_exit(write(fds[1], &t, sizeof t) == sizeof t ? 0 : 1);
	}
	close(fds[1]);
	return {pid, fds[0]};
}

void write_temperatures(Tally &t, const volatile sig_atomic_t &stop)
{
	float temp = lowest, dir = step;
	while (!stop) {
		if (ombrix_write_temperature("/tmp/temp", temp) != OMBRIX_OK)
			note_bad(t, "a temperature write failed");
		t.done++;
		if (temp + dir > highest || temp + dir < lowest)
			dir = -dir;
		temp += dir;
	}
}

void read_states(Tally &t, const volatile sig_atomic_t &stop)
{
	int last = -1;
	while (!stop) {
		reset();
		int state = last;
		bool exists = fs::exists("/tmp/status");
		if (ombrix_read_state("/tmp/status", &state) != OMBRIX_OK && exists)
			note_bad(t, "a state read gave up: " + calls().logs.back());
		for (const std::string &line : calls().logs)
			if (exists && line != "HEATER IS ON" && line != "HEATER IS OFF")
				note_bad(t, "reader logged: " + line);
		t.changes += state != last;
		last = state;
		t.done++;
	}
}

void parse_temperatures(Tally &t, const volatile sig_atomic_t &stop)
{
	while (!stop) {
		char buf[read_buf_len];
		File f(open_read("/tmp/temp", "r", buf));
		float temp;
		if (f.get() && std::fscanf(f.get(), "%f", &temp) != 1)
			note_bad(t, "the temperature file held no number");
		else if (f.get() && !published(temp))
			note_bad(t, "parsed " + std::to_string(temp) + ", never published");
		t.done += f.get() != nullptr;
	}
}

pid_t start_client()
{
	pid_t pid = fork();
	if (pid == 0) {
		setenv("LD_PRELOAD", SHIM_REL, 1);
		setenv("SHIM_FREE_RUN", "1", 1);
		int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
		dup2(null, 2);
		close_range(3, ~0U, 0);
		if (*EMULATOR)
			execl(EMULATOR, EMULATOR, CLIENT_REL, static_cast<char *>(nullptr));
		else
			execl(CLIENT_REL, "client", static_cast<char *>(nullptr));
		_exit(127);
	}
	return pid;
}

TEST(Stress, EveryReaderMeetsWholeLinesWhileAllRunAtOnce)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	std::string root = std::string(SCRATCH_ROOT) + "/stress-XXXXXX";
	ASSERT_TRUE(mkdtemp(root.data()));
	// This process takes the private /tmp itself; its children share it.
	ASSERT_EQ(chdir(BUILD_ROOT), 0);
	ASSERT_TRUE(isolate(root.c_str()));

	// Both files exist before anyone reads them, as they do once the daemon
	// and the client have run a cycle: a file just created is empty until
	// its first write, which readers take as "nothing yet".
	ASSERT_EQ(ombrix_write_temperature("/tmp/temp", lowest), OMBRIX_OK);
	ASSERT_TRUE(std::ofstream("/tmp/status") << "OFF\n");

	const char *env = getenv("STRESS_SECONDS");
	auto seconds = std::chrono::seconds(env ? std::atoi(env) : 5);
	pid_t client = start_client();
	Worker workers[] = {spawn(write_temperatures), spawn(read_states), spawn(parse_temperatures)};
	const char *names[] = {"writer", "state reader", "temperature reader"};
	std::this_thread::sleep_for(seconds);

	int status = 0;
	EXPECT_EQ(waitpid(client, &status, WNOHANG), 0) << "the client ended early, status " << status;
	kill(client, SIGTERM);
	waitpid(client, &status, 0);
	for (int i = 0; i < 3; i++) {
		kill(workers[i].pid, SIGTERM);
		EXPECT_TRUE(reap(workers[i].pid, &status, stop_deadline)) << names[i] << " hung";
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << names[i] << " crashed";
		Tally t;
		EXPECT_EQ(read(workers[i].result, &t, sizeof t), static_cast<ssize_t>(sizeof t));
		close(workers[i].result);
		EXPECT_GT(t.done, 1000u) << names[i];
		EXPECT_EQ(t.bad, 0u) << names[i] << ", first: " << t.first_bad;
		EXPECT_EQ(t.fds_after, t.fds_before) << names[i] << " leaked descriptors";
		std::printf("%s: %llu operations\n", names[i], static_cast<unsigned long long>(t.done));
		if (i == 1) {
			EXPECT_GT(t.changes, 10u) << "the heater hardly switched";
		}
	}
	fs::remove_all(root);
}

} // namespace
