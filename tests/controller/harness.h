// Runs the real client binary one cycle at a time, isolated from the
// machine's /tmp: it lives in a private mount namespace whose /tmp is a
// scratch folder, and its sleep() is the shim of shim.h.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "shim.h"

constexpr uid_t nobody = 65534;  // who the client runs as when it must lack rights

// What perror(text) prints when errno is err.
std::string report(const char *text, int err);

class ClientRun {
public:
	ClientRun();
	~ClientRun();
	ClientRun(const ClientRun &) = delete;
	ClientRun &operator=(const ClientRun &) = delete;

	// The test's path of what the client sees as /tmp/<name>.
	std::string path(const std::string &name) const;
	void put(const std::string &name, const std::string &content) const;
	// The file's bytes, or nullopt when it cannot be read.
	std::optional<std::string> get(const std::string &name) const;

	// Starts the client as uid (the test's own user when -1).
	void start(uid_t uid = static_cast<uid_t>(-1));
	// Lets the client run to its next sleep and returns that sleep's report
	// (checking that no descriptor stays open across it), or nullopt once
	// the client has exited; wait_status() then tells how.
	std::optional<shim_report> next();
	int wait_status() const { return status_; }
	pid_t pid() const { return pid_; }
	// What the client wrote to its standard error since the last call.
	std::string take_stderr();

private:
	std::string root_;  // scratch: tmp/ is the client's /tmp, stderr its stderr
	pid_t pid_ = -1;
	int report_ = -1;   // read end of the shim's reports
	int go_ = -1;       // write end of the shim's go signal
	bool sleeping_ = false;
	int status_ = -1;
	size_t err_seen_ = 0;
};
