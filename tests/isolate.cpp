#include "isolate.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool write_file(const char *path, const std::string &text)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	close(fd);
	return ok;
}

} // namespace

bool isolate(const char *tmp)
{
	uid_t uid = geteuid();
	gid_t gid = getegid();
	if (unshare(CLONE_NEWNS) < 0) {
		if (unshare(CLONE_NEWUSER | CLONE_NEWNS) < 0)
			return false;
		if (!write_file("/proc/self/setgroups", "deny") ||
		    !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
		    !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
			return false;
	}
	// Recursive, so that a mount a test made below its scratch folder (a
	// folder made read-only) is there under /tmp too.
	return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
	       mount(tmp, "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

std::string cannot_isolate()
{
	static const std::string why = [] {
		char dir[] = "/tmp/isolate-XXXXXX";
		if (!mkdtemp(dir))
			return std::string("cannot make a scratch folder to try a private /tmp");
		pid_t pid = fork();
		if (pid == 0)
			_exit(isolate(dir) ? 0 : 1);
		int st = 0;
		waitpid(pid, &st, 0);
		rmdir(dir);
		if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
			return std::string();
		return std::string("no private mount namespace here: run as root, or allow "
		                   "unprivileged user namespaces");
	}();
	return why;
}
