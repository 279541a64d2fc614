// Runs the real ombrixd, and with it the real client, in real time in a
// private /tmp: a scratch folder below the test's build folder that both
// see as /tmp, in one mount namespace of their own.  Sensor and heater
// files go in that folder too, so the daemon reaches them as /tmp/NAME.
//
//   DaemonRun run;
//   run.put("sensor", "15\n");
//   run.put("heater", "0\n");
//   run.start({"--sensor", "file:/tmp/sensor", "--heater", "file:/tmp/heater"});
//   EXPECT_TRUE(wait_for([&] { return run.get("heater") == "1\n"; }, 10s));
//   run.signal(SIGTERM);
//   EXPECT_EQ(run.wait_exit(3s), 0);
//
// Each run is a host of its own on the bus: the daemon sees a host name of
// its own (a UTS namespace), unless host() gives two runs the same one.
//
// Whatever the test does, nothing started here outlives the DaemonRun.
// A test that uses it first skips itself when cannot_isolate() (isolate.h)
// gives a reason.  Link daemon_run.cpp into the test and call runs_daemon()
// on it in CMake.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

class DaemonRun {
public:
	DaemonRun();
	~DaemonRun();
	DaemonRun(const DaemonRun &) = delete;
	DaemonRun &operator=(const DaemonRun &) = delete;

	// The test's path of the private /tmp; the daemon and the client see
	// it as /tmp.
	const std::string &tmp() const { return tmp_; }
	// Writes, reads or removes tmp()/name; get() is "" for a missing file.
	// put() replaces the file by a rename: a file the daemon keeps open (a
	// file: heater) is put before start().
	void put(const std::string &name, const std::string &content) const;
	std::string get(const std::string &name) const;
	void remove(const std::string &name) const;

	// What start() sets up around the daemon, for the faults it must
	// survive; each is kept up for the whole run.
	enum class Stall {
		none,
		output,  // standard output is a pipe that is full and never read
		errors,  // standard error is such a pipe
		syslog,  // /dev/log is a socket that is full and never read
	};
	void stall(Stall what) { stall_ = what; }
	// Sets an environment variable for the daemon: NOTIFY_SOCKET and the
	// watchdog's are otherwise unset, so that it never finds the test
	// run's service manager.
	void env(const std::string &name, const std::string &value) { env_.push_back(name + "=" + value); }
	// The daemon goes into the background (--daemon): the process started
	// leaves, and the one it leaves behind is the daemon from then on.
	void daemonizes() { daemonizes_ = true; }
	// Whether a run can adopt what the daemon leaves behind, as a run that
	// daemonizes must: qemu-user 7.2 has no child subreaper.
	static bool can_adopt();
	// Runs in other's private /tmp, as a second program on the same board
	// does, so that both see its files at the same paths; before start().
	void share_tmp(const DaemonRun &other) { tmp_ = other.tmp_; }
	// The host name the daemon sees; set before start().
	void host(const std::string &name) { host_ = name; }
	// The daemon sees dir without the entries whose names begin with
	// prefix, as on a machine where they are not installed; before start().
	void without(const std::string &dir, const std::string &prefix)
	{
		hide_dir_ = dir;
		hide_prefix_ = prefix;
	}

	// Starts ombrixd with args after its name (under the build's emulator,
	// if any), and after --min-off=0, which args may override; and the
	// client beside it unless with_client is false.  The
	// client is stopped once the daemon has ended.  Once per DaemonRun.
	void start(const std::vector<std::string> &args, bool with_client = true);

	// What the daemon and the client printed so far.
	std::string out() const;
	std::string err() const;
	std::string client_err() const;

	// Sends sig to the daemon, or to the client.
	void signal(int sig) const;
	void signal_client(int sig) const;
	// Waits up to deadline for the daemon to end: its exit status, 128 + the
	// signal that killed it, or -1 when it had not ended (it is then killed).
	int wait_exit(std::chrono::milliseconds deadline);

	pid_t daemon_pid() const { return daemon_; }

private:
	std::string root_, tmp_, host_, hide_dir_, hide_prefix_;
	pid_t keeper_ = -1;  // the namespace's first process, parent of both
	pid_t daemon_ = -1;
	pid_t client_ = -1;
	Stall stall_ = Stall::none;
	std::vector<std::string> env_;
	bool daemonizes_ = false;
	int status_ = -1;    // once wait_exit() saw the end
};

// Polls pred every 25 ms until it holds or deadline has passed; whether it
// held.  Deadlines here stretch under an emulator (process.h).
bool wait_for(const std::function<bool()> &pred, std::chrono::milliseconds deadline);

// The whole content of a file, "" when it cannot be read.
std::string read_file(const std::string &path);
