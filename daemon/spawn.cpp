#include "shell.h"

#include <cerrno>
#include <cmath>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"

namespace {

constexpr int ms_per_s = 1000;

enum class End { exited, timeout, cancelled };

// Milliseconds from now to deadline_s, for poll(); 0 once it has passed.
int ms_until(double deadline_s)
{
	double left = deadline_s - clock_s();
	return left > 0 ? static_cast<int>(std::ceil(left * ms_per_s)) : 0;
}

// Starts the shell with its output into out_fd.  The caller's signal mask
// and ignored signals are the daemon's business, not the command's; its own
// process group lets a timeout kill whatever the command started.
bool start(const char *command, int out_fd, pid_t *pid, const char **why)
{
	posix_spawn_file_actions_t files;
	posix_spawnattr_t attr;
	sigset_t none, all;
	sigemptyset(&none);
	sigfillset(&all);
	posix_spawn_file_actions_init(&files);
	posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&files, out_fd, STDOUT_FILENO);
	posix_spawnattr_init(&attr);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
	                                    POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setsigdefault(&attr, &all);
	posix_spawnattr_setpgroup(&attr, 0);
	char sh[] = "/bin/sh", dash_c[] = "-c";
	char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
	int rc = posix_spawn(pid, sh, &files, &attr, argv, environ);
	posix_spawnattr_destroy(&attr);
	posix_spawn_file_actions_destroy(&files);
	if (rc != 0)
		*why = "cannot start /bin/sh";
	return rc == 0;
}

// Reads what is there into out[*used..len-1]; what does not fit is read
// and dropped.  As read(): bytes read, 0 at end of file, -1 with errno.
ssize_t take(int fd, char *out, size_t len, size_t *used)
{
	char spill[256];
	char *to = spill;
	size_t room = sizeof spill;
	if (*used + 1 < len) {
		to = out + *used;
		room = len - 1 - *used;
	}
	ssize_t n = read(fd, to, room);
	if (n > 0 && to != spill)
		*used += static_cast<size_t>(n);
	return n;
}

// Waits until the shell has ended, reading its output meanwhile, or the
// deadline, or a cancel.  The output stops counting once the shell is gone:
// something it left in the background may hold the pipe open, and it is
// killed anyway.
End watch(int pid_fd, int cancel_fd, int out_fd, double deadline_s, char *out, size_t len, size_t *used)
{
	bool reading = true;
	for (;;) {
		pollfd fds[3] = {{pid_fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}, {out_fd, POLLIN, 0}};
		int n = poll(fds, reading ? 3 : 2, ms_until(deadline_s));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return End::timeout;
		if (fds[1].revents)
			return End::cancelled;
		if (reading && fds[2].revents) {
			ssize_t got = take(out_fd, out, len, used);
			reading = got > 0 || (got < 0 && (errno == EINTR || errno == EAGAIN));
		}
		if (fds[0].revents) {
			while (reading && take(out_fd, out, len, used) > 0) {
			}
			return End::exited;
		}
	}
}

// A descriptor that polls readable once pid has ended.  Through syscall():
// glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage.
int watch_pid(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

const char *const shell_cancelled = "cancelled for a newer command";

int run_shell(const char *command, double timeout_s, int cancel_fd, char *out, size_t out_len,
              const char **why)
{
	double deadline_s = clock_s() + timeout_s;
	size_t used = 0;
	if (out_len > 0)
		out[0] = '\0';
	int pipe_fds[2];
	if (pipe2(pipe_fds, O_CLOEXEC) < 0) {
		*why = "cannot make a pipe";
		return -1;
	}
	pid_t pid;
	bool started = start(command, pipe_fds[1], &pid, why);
	close(pipe_fds[1]);
	if (!started) {
		close(pipe_fds[0]);
		return -1;
	}
	// Non-blocking, so that draining after the shell ended never waits on
	// something it left behind.
	fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
	int pid_fd = watch_pid(pid);
	End end = pid_fd < 0 ? End::timeout : watch(pid_fd, cancel_fd, pipe_fds[0], deadline_s, out, out_len, &used);
	if (out_len > 0)
		out[used] = '\0';
	// Whatever is left of its group goes too; the shell itself is not yet
	// reaped, so its process group id cannot have been reused.
	kill(-pid, SIGKILL);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	if (pid_fd >= 0)
		close(pid_fd);
	close(pipe_fds[0]);
	if (end == End::cancelled) {
		*why = shell_cancelled;
		return -1;
	}
	if (end == End::timeout) {
		*why = pid_fd < 0 ? "cannot watch the command" : "the command did not answer in time";
		return -1;
	}
	if (!WIFEXITED(status)) {
		*why = "the command died of a signal";
		return -1;
	}
	return WEXITSTATUS(status);
}
