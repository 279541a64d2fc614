#include "daemon_run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "isolate.h"
#include "process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int start_timeout_ms = 10000;  // for the namespace to come up
constexpr auto poll_interval = 25ms;
constexpr auto keeper_deadline = 5s;     // to kill and reap what is left

struct Launch {
	std::vector<std::string> daemon_argv, client_argv;  // client_argv empty: none
	std::string tmp, host;
	std::string hide_dir, hide_prefix;  // hide_dir empty: nothing hidden
	int out, err, client_err, report;
	pid_t parent;
	DaemonRun::Stall stall;
	std::vector<std::string> env;  // NAME=value
	bool daemonizes;
};

// What the keeper tells the test once both are running.
struct Started {
	pid_t daemon, client;  // -1: none (a --daemon start that failed)
};

// The build's emulator, split at blanks, then the program.
std::vector<std::string> command(const char *program)
{
	std::vector<std::string> argv;
	std::istringstream words(EMULATOR);
	for (std::string w; words >> w;)
		argv.push_back(w);
	argv.emplace_back(program);
	return argv;
}

// In a coverage build the counts of the library's objects in ombrixd, and
// of the client, go below the working folder, the build folder, which stays
// in reach even when it lies under the covered /tmp.
void keep_coverage()
{
	setenv("GCOV_PREFIX", ".", 1);
	fs::path build = fs::path(BUILD_ROOT).relative_path();
	setenv("GCOV_PREFIX_STRIP", std::to_string(std::distance(build.begin(), build.end())).c_str(), 1);
}

pid_t spawn(const std::vector<std::string> &args, int out, int err)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	rlimit no_core{0, 0};  // a case that ends the daemon by SIGQUIT leaves no core behind
	setrlimit(RLIMIT_CORE, &no_core);
	int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
	if (null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(126);
	close_range(3, ~0U, 0);
	std::vector<char *> argv;
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

// The children of the calling (single-threaded) process, adopted ones too.
std::vector<pid_t> children()
{
	std::string list = read_file("/proc/self/task/" + std::to_string(getpid()) + "/children");
	std::istringstream in(list);
	std::vector<pid_t> pids;
	for (pid_t p; in >> p;)
		pids.push_back(p);
	return pids;
}

// Kills and reaps every child, and whatever is orphaned to us meanwhile.
void kill_children()
{
	for (;;) {
		for (pid_t p : children())
			kill(p, SIGKILL);
		if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD)
			return;
	}
}

// Closes every descriptor above 2 but those in keep.  The keeper never
// calls exec, so O_CLOEXEC does not shield the test's descriptors from it:
// a pipe that another thread of the test had open at the fork would stay
// open for the whole case, and that thread would wait for its end forever.
void close_all_but(std::array<int, 4> keep)
{
	std::sort(keep.begin(), keep.end());
	unsigned from = 3;
	for (int fd : keep) {
		if (fd < static_cast<int>(from))
			continue;
		if (fd > static_cast<int>(from))
			close_range(from, static_cast<unsigned>(fd) - 1, 0);
		from = static_cast<unsigned>(fd) + 1;
	}
	close_range(from, ~0U, 0);
}

// Gives the namespace a dir that lacks the entries named hide_prefix...:
// the real one is bound below /tmp, and a tmpfs of links into it takes its
// place.  Nothing of the host changes.
bool hide(const Launch &l)
{
	if (l.hide_dir.empty())
		return true;
	const std::string real = "/tmp/.real-" + fs::path(l.hide_dir).filename().string();
	if (mkdir(real.c_str(), 0755) < 0 ||
	    mount(l.hide_dir.c_str(), real.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0 ||
	    mount("tmpfs", l.hide_dir.c_str(), "tmpfs", 0, "mode=0755") < 0)
		return false;
	std::error_code ec;
	for (const fs::directory_entry &e : fs::directory_iterator(real, ec)) {
		std::string name = e.path().filename();
		if (!name.starts_with(l.hide_prefix) && symlink(e.path().c_str(), (l.hide_dir + "/" + name).c_str()) < 0)
			return false;
	}
	return !ec;
}

// A pipe whose write end no write gets into: full, and never read.  The
// read end stays open in the keeper.  Returns the write end, or -1.
int full_pipe()
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0)
		return -1;
	char block[4096] = {};
	while (write(fds[1], block, sizeof block) > 0) {
	}
	int flags = fcntl(fds[1], F_GETFL);
	fcntl(fds[1], F_SETFL, flags & ~O_NONBLOCK);  // a write now blocks, as on a stuck reader
	return fds[1];
}

bool make_node(const std::string &path, const char *like)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (fd < 0)
		return false;
	close(fd);
	return mount(like, path.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// A /dev of its own whose log is a socket that nobody reads and whose queue
// is full: syslog() then blocks.  Made inside the private /tmp, which is
// all of the old /tmp that stays in reach.
bool stall_syslog()
{
	const std::string dev = "/tmp/.dev";
	if (mkdir(dev.c_str(), 0755) < 0)
		return false;
	for (const char *node : {"null", "zero", "urandom", "random"})
		if (!make_node(dev + "/" + node, (std::string("/dev/") + node).c_str()))
			return false;
	int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/log", dev.c_str());
	if (log < 0 || bind(log, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
		return false;
	int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	while (sendto(filler, "x", 1, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 1) {
	}
	close(filler);
	return mount(dev.c_str(), "/dev", nullptr, MS_BIND, nullptr) == 0;
}

// The standard output and error the daemon gets, stalled or not.
bool daemon_outputs(const Launch &l, int *out, int *err)
{
	*out = l.stall == DaemonRun::Stall::output ? full_pipe() : l.out;
	*err = l.stall == DaemonRun::Stall::errors ? full_pipe() : l.err;
	if (l.stall == DaemonRun::Stall::syslog && !stall_syslog())
		return false;
	return *out >= 0 && *err >= 0;
}

// With --daemon the process started leaves once the daemon it forked has
// started; that one, adopted by us, is the daemon from then on.  Returns
// it, or -1 with the first one's wait status in *status when it failed.
pid_t adopted_daemon(pid_t first, pid_t client, int *status)
{
	while (waitpid(first, status, 0) < 0)
		if (errno != EINTR)
			return -1;
	if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
		return -1;
	for (pid_t p : children())
		if (p != client)
			return p;
	return -1;
}

// The first process of the namespace: starts the daemon and the client,
// adopts what they leave behind, and ends with the daemon's status once it
// has ended and everything else is gone.
[[noreturn]] void keep(const Launch &l)
{
	close_all_but({l.out, l.err, l.client_err, l.report});
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != l.parent)
		_exit(126);
	int out, err;
	// Relative paths from the build folder still reach the binaries once
	// /tmp is covered, even when the build folder itself is under /tmp.
	if (chdir(BUILD_ROOT) < 0 || !isolate(l.tmp.c_str()) || unshare(CLONE_NEWUTS) < 0 ||
	    sethostname(l.host.c_str(), l.host.size()) < 0 || !hide(l) || !daemon_outputs(l, &out, &err))
		_exit(126);
	// Without it a daemon that forks itself away escapes to init, and
	// nobody stops it at the end of the case.
	if (prctl(PR_SET_CHILD_SUBREAPER, 1) < 0 && l.daemonizes)
		_exit(126);
	// The daemon must not find the service manager of the test run.
	unsetenv("NOTIFY_SOCKET");
	unsetenv("WATCHDOG_USEC");
	unsetenv("WATCHDOG_PID");
	for (const std::string &e : l.env)
		putenv(const_cast<char *>(e.c_str()));
	keep_coverage();
	Started started{spawn(l.daemon_argv, out, err), -1};
	if (!l.client_argv.empty())
		started.client = spawn(l.client_argv, l.client_err, l.client_err);
	int status = 0;
	if (l.daemonizes)
		started.daemon = adopted_daemon(started.daemon, started.client, &status);
	if (write(l.report, &started, sizeof started) != static_cast<ssize_t>(sizeof started))
		_exit(126);
	close(l.report);
	for (pid_t p; started.daemon > 0 && (p = waitpid(-1, &status, 0)) != started.daemon;)
		if (p < 0 && errno != EINTR)
			_exit(126);
	kill_children();
	_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int open_log(const std::string &path)
{
	return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

DaemonRun::DaemonRun()
{
	std::string tmpl = std::string(SCRATCH_ROOT) + "/run-XXXXXX";
	if (!mkdtemp(tmpl.data()))
		throw std::runtime_error("mkdtemp failed");
	root_ = tmpl;
	tmp_ = root_ + "/tmp";
	host_ = fs::path(root_).filename();
	fs::create_directory(tmp_);
	fs::permissions(tmp_, fs::perms::all | fs::perms::sticky_bit);
}

DaemonRun::~DaemonRun()
{
	wait_exit(0ms);
	std::error_code ec;
	fs::remove_all(root_, ec);
}

void DaemonRun::put(const std::string &name, const std::string &content) const
{
	// Whole or not at all, by a rename, so that a reading never meets a
	// half-written file.
	std::string path = tmp_ + "/" + name, part = path + ".part";
	std::ofstream(part, std::ios::binary | std::ios::trunc) << content;
	fs::rename(part, path);
}

std::string DaemonRun::get(const std::string &name) const
{
	return read_file(tmp_ + "/" + name);
}

void DaemonRun::remove(const std::string &name) const
{
	std::error_code ec;
	fs::remove(tmp_ + "/" + name, ec);
}

void DaemonRun::start(const std::vector<std::string> &args, bool with_client)
{
	ASSERT_EQ(keeper_, -1) << "a DaemonRun starts once";
	Launch l;
	l.daemon_argv = command(DAEMON_REL);
	// Cases switch a heater ON, OFF and ON again within seconds; the rest
	// a real heater gets between an OFF and the next ON would outlast them.
	// A case's own --min-off comes later and wins.
	l.daemon_argv.emplace_back("--min-off=0");
	l.daemon_argv.insert(l.daemon_argv.end(), args.begin(), args.end());
	if (with_client)
		l.client_argv = command(CLIENT_REL);
	l.tmp = tmp_;
	l.host = host_;
	l.hide_dir = hide_dir_;
	l.hide_prefix = hide_prefix_;
	l.out = open_log(root_ + "/out");
	l.err = open_log(root_ + "/err");
	l.client_err = open_log(root_ + "/client.err");
	l.parent = getpid();
	l.stall = stall_;
	l.env = env_;
	l.daemonizes = daemonizes_;
	int report[2];
	ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
	l.report = report[1];
	keeper_ = fork();
	ASSERT_GE(keeper_, 0);
	if (keeper_ == 0) {
		setpgid(0, 0);
		keep(l);
	}
	setpgid(keeper_, keeper_);
	close(report[1]);
	close(l.out);
	close(l.err);
	close(l.client_err);
	pollfd p{report[0], POLLIN, 0};
	Started started{-1, -1};
	bool told = poll(&p, 1, start_timeout_ms * emulator_slowdown) == 1 &&
	            read(report[0], &started, sizeof started) == static_cast<ssize_t>(sizeof started);
	close(report[0]);
	daemon_ = started.daemon;
	client_ = started.client;
	if (!told)
		ADD_FAILURE() << "ombrixd did not start in a private /tmp";
}

std::string DaemonRun::out() const
{
	return read_file(root_ + "/out");
}

std::string DaemonRun::err() const
{
	// gcov's complaints in a coverage build are not the daemon's reports.
	std::istringstream all(read_file(root_ + "/err"));
	std::string text;
	for (std::string line; std::getline(all, line);)
		if (!line.starts_with("profiling:"))
			text += line + "\n";
	return text;
}

std::string DaemonRun::client_err() const
{
	return read_file(root_ + "/client.err");
}

bool DaemonRun::can_adopt()
{
	int on = 0;
	return prctl(PR_GET_CHILD_SUBREAPER, &on) == 0;
}

void DaemonRun::signal(int sig) const
{
	if (daemon_ > 0 && status_ < 0)
		kill(daemon_, sig);
}

void DaemonRun::signal_client(int sig) const
{
	if (client_ > 0 && status_ < 0)
		kill(client_, sig);
}

int DaemonRun::wait_exit(std::chrono::milliseconds deadline)
{
	if (status_ >= 0 || keeper_ <= 0)
		return status_;
	int st = 0;
	bool ended = false;
	for (auto end = std::chrono::steady_clock::now() + deadline * emulator_slowdown; !ended;) {
		ended = waitpid(keeper_, &st, WNOHANG) == keeper_;
		if (std::chrono::steady_clock::now() >= end)
			break;
		if (!ended)
			std::this_thread::sleep_for(poll_interval);
	}
	if (!ended) {
		// The keeper kills and reaps the rest once the daemon is gone,
		// whatever it left in process groups of their own included.
		if (daemon_ > 0)
			kill(daemon_, SIGKILL);
		reap(keeper_, &st, keeper_deadline);
	}
	kill(-keeper_, SIGKILL);
	keeper_ = -1;
	status_ = ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return status_;
}

bool wait_for(const std::function<bool()> &pred, std::chrono::milliseconds deadline)
{
	for (auto end = std::chrono::steady_clock::now() + deadline * emulator_slowdown;;) {
		if (pred())
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(poll_interval);
	}
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}
