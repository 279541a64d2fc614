#include "harness.h"
#include "isolate.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

constexpr int step_timeout_ms = 10000;  // a hung client fails the test

// The command the client runs under: CLIENT_WRAPPER (valgrind for one),
// then the emulator of a cross build, split at blanks; or none.
std::vector<char *> wrapper()
{
	static std::string words = std::string(getenv("CLIENT_WRAPPER") ? getenv("CLIENT_WRAPPER") : "") +
	                           " " + EMULATOR;
	std::vector<char *> argv;
	for (char *w = strtok(words.data(), " "); w; w = strtok(nullptr, " "))
		argv.push_back(w);
	return argv;
}

[[noreturn]] void exec_client(const std::string &tmp, int report, int go, int err, uid_t uid)
{
	// Relative paths from the build folder still reach the binaries once
	// /tmp is covered, even when the build folder itself is under /tmp.
	if (chdir(BUILD_ROOT) < 0 || !isolate(tmp.c_str()))
		_exit(126);
	if (dup2(report, SHIM_REPORT_FD) < 0 || dup2(go, SHIM_GO_FD) < 0 || dup2(err, 2) < 0)
		_exit(126);
	close_range(3, SHIM_REPORT_FD - 1, 0);
	close_range(SHIM_GO_FD + 1, ~0U, 0);
	if (uid != static_cast<uid_t>(-1) &&
	    (setgroups(0, nullptr) < 0 || setgid(uid) < 0 || setuid(uid) < 0))
		_exit(125);
	setenv("LD_PRELOAD", SHIM_REL, 1);
	// In a coverage build the client's counts go below the working folder,
	// the build folder, which stays in reach even under a covered /tmp.
	setenv("GCOV_PREFIX", ".", 1);
	fs::path build = fs::path(BUILD_ROOT).relative_path();
	setenv("GCOV_PREFIX_STRIP", std::to_string(std::distance(build.begin(), build.end())).c_str(), 1);
	std::vector<char *> argv = wrapper();
	argv.push_back(const_cast<char *>(CLIENT_REL));
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

} // namespace

std::string report(const char *text, int err)
{
	return std::string(text) + ": " + std::strerror(err) + "\n";
}

ClientRun::ClientRun()
{
	std::signal(SIGPIPE, SIG_IGN);
	std::string tmpl = std::string(SCRATCH_ROOT) + "/run-XXXXXX";
	if (!mkdtemp(tmpl.data()))
		throw std::runtime_error("mkdtemp failed");
	root_ = tmpl;
	fs::create_directory(root_ + "/tmp");
	fs::permissions(root_ + "/tmp", fs::perms::all | fs::perms::sticky_bit);
}

ClientRun::~ClientRun()
{
	if (go_ >= 0)
		close(go_);
	if (pid_ > 0 && sleeping_) {
		// The shim ends the client with exit(0) once the go pipe closes, so
		// coverage data, leak checks and wrappers get to finish.
		pollfd p{report_, POLLIN, 0};
		if (poll(&p, 1, step_timeout_ms) == 1) {
			waitpid(pid_, &status_, 0);
			pid_ = -1;
			EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0)
				<< "the client did not end cleanly: " << take_stderr();
		}
	}
	if (pid_ > 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	if (report_ >= 0)
		close(report_);
	std::error_code ec;
	fs::remove_all(root_, ec);
}

std::string ClientRun::path(const std::string &name) const
{
	return root_ + "/tmp/" + name;
}

void ClientRun::put(const std::string &name, const std::string &content) const
{
	std::ofstream(path(name), std::ios::binary | std::ios::trunc) << content;
}

std::optional<std::string> ClientRun::get(const std::string &name) const
{
	std::ifstream in(path(name), std::ios::binary);
	if (!in)
		return std::nullopt;
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

void ClientRun::start(uid_t uid)
{
	int report[2], go[2];
	ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
	ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
	int err = open((root_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	ASSERT_GE(err, 0);
	pid_ = fork();
	ASSERT_GE(pid_, 0);
	if (pid_ == 0)
		exec_client(root_ + "/tmp", report[1], go[0], err, uid);
	close(report[1]);
	close(go[0]);
	close(err);
	report_ = report[0];
	go_ = go[1];
}

std::optional<shim_report> ClientRun::next()
{
	if (pid_ <= 0)
		return std::nullopt;
	if (sleeping_) {
		char c = 0;
		EXPECT_EQ(write(go_, &c, 1), 1);
		sleeping_ = false;
	}
	pollfd p{report_, POLLIN, 0};
	if (poll(&p, 1, step_timeout_ms) != 1) {
		ADD_FAILURE() << "the client neither slept nor exited in time";
		return std::nullopt;
	}
	shim_report r;
	if (read(report_, &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
		sleeping_ = true;
		EXPECT_EQ(r.open_fds, 0u) << "a descriptor stays open across the sleep";
		return r;
	}
	waitpid(pid_, &status_, 0);
	pid_ = -1;
	return std::nullopt;
}

std::string ClientRun::take_stderr()
{
	std::ifstream in(root_ + "/stderr", std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	std::string all = ss.str();
	std::istringstream fresh(all.substr(std::min(err_seen_, all.size())));
	err_seen_ = all.size();
	// gcov's own complaints in a coverage build, when the client runs as a
	// user who cannot write its counts, are not the client's reports.
	std::string text;
	for (std::string line; std::getline(fresh, line);)
		if (!line.starts_with("profiling:"))
			text += line + "\n";
	return text;
}
