// client: the thermostat.  Every five seconds it reads the room temperature
// from /tmp/temp and commands the heater by rewriting /tmp/status with "ON\n"
// below 69 and "OFF\n" above 75; in between it leaves the command as it is.
//
// Both files sit in world-writable /tmp and are shared, without locks, with
// the temperature daemon.  So no open here blocks on a planted FIFO or writes
// through a planted link, and the status file is rewritten in place instead of
// being truncated first: whoever reads it finds a whole command at its start.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *temp_path = "/tmp/temp";
constexpr const char *status_path = "/tmp/status";
constexpr float on_below = 69.0f;   // room temperature, the daemon's unit
constexpr float off_above = 75.0f;  // room temperature, the daemon's unit
constexpr unsigned period_s = 5;    // seconds between the starts of cycles
constexpr int status_len = 8;       // status line: 7 characters and a NUL

// Closes a stream when its scope ends.
class File {
public:
	explicit File(FILE *f) : f_(f) {}
	~File() { if (f_) std::fclose(f_); }
	File(const File &) = delete;
	File &operator=(const File &) = delete;
	FILE *get() const { return f_; }

private:
	FILE *f_;
};

// Closes a descriptor when its scope ends, keeping errno for the caller's
// report; close() ends it early and tells how that went.
class Fd {
public:
	explicit Fd(int fd) : fd_(fd) {}
	~Fd()
	{
		if (fd_ < 0)
			return;
		int saved = errno;
		::close(fd_);
		errno = saved;
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const { return fd_; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	int close() { return ::close(release()); }

private:
	int fd_;
};

// Opens path for reading.  O_NONBLOCK keeps a FIFO planted there from
// hanging the cycle: with no writer it reads as empty.
// Returns nullptr with errno set on failure.
FILE *open_read(const char *path)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return nullptr;
	FILE *f = fdopen(fd, "r");
	if (!f) {
		int saved = errno;
		::close(fd);
		errno = saved;
	}
	return f;
}

// Opens path for a rewrite in place: created with mode 0666 less the umask
// when missing, never truncated, never through a symbolic link (ELOOP), and
// only when it is a regular file (else ENXIO, as a FIFO without a reader
// gives) with no other name (else EMLINK), so no other file is ever written.
// Returns the descriptor, or -1 with errno set.
int open_rewrite(const char *path)
{
	Fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
	if (fd.get() < 0)
		return -1;
	struct stat st;
	if (fstat(fd.get(), &st) < 0)
		return -1;
	if (!S_ISREG(st.st_mode)) {
		errno = ENXIO;
		return -1;
	}
	if (st.st_nlink != 1) {
		errno = EMLINK;
		return -1;
	}
	return fd.release();
}

int writeall(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

// Replaces the status file's content with cmd: the old bytes are written
// over from the start and the file is then cut to the new length, so at no
// moment is it empty or without a whole command line at its start.
// Returns 0, or -1 with errno from the step that failed.
int put_status(const char *cmd)
{
	size_t len = std::strlen(cmd);
	Fd fd(open_rewrite(status_path));
	if (fd.get() < 0)
		return -1;
	if (writeall(fd.get(), cmd, len) < 0)
		return -1;
	if (ftruncate(fd.get(), static_cast<off_t>(len)) < 0)
		return -1;
	return fd.close();
}

// Reads the temperature file's first number into temp; a file that holds
// none leaves temp as it was.  Returns -1 with errno set when the file does
// not open, else 0.
int read_temp(std::optional<float> &temp)
{
	File f(open_read(temp_path));
	if (!f.get())
		return -1;
	float t;
	if (std::fscanf(f.get(), "%f", &t) == 1)
		temp = t;
	return 0;
}

// Reads the status file's first line, at most status_len - 1 characters,
// into status; a file that does not open or holds nothing leaves it as it was.
void read_status(char (&status)[status_len])
{
	File f(open_read(status_path));
	char line[status_len] = {};
	if (f.get() && std::fgets(line, sizeof line, f.get()))
		std::memcpy(status, line, sizeof line);
}

// The command for temp given the last status line, or nullptr for none.
// Comparisons are strict and in single precision; the status prefixes are
// case-sensitive.
const char *decide(float temp, const char *status)
{
	if (temp < on_below && std::strncmp(status, "ON", 2) != 0)
		return "ON\n";
	if (temp > off_above && std::strncmp(status, "OFF", 3) != 0)
		return "OFF\n";
	return nullptr;
}

// One cycle: read, decide, command.  Nothing is decided until a temperature
// has parsed once.
void cycle(std::optional<float> &temp, char (&status)[status_len])
{
	if (read_temp(temp) < 0) {
		std::perror("Cannot read temp");
		return;
	}
	read_status(status);
	if (!temp)
		return;
	const char *cmd = decide(*temp, status);
	if (cmd && put_status(cmd) < 0)
		std::perror("Cannot write status");
}

} // namespace

// 1 when stat succeeds on filename and reports a size above 0; 0 when stat
// fails for any reason or the size is 0.
int file_exists_and_not_empty(const char *filename)
{
	struct stat st;
	return stat(filename, &st) == 0 && st.st_size > 0;
}

// Takes no arguments; any given are ignored.  Exits 1 when the status file
// cannot be initialised; otherwise runs until a signal ends it.
int main()
{
	if (!file_exists_and_not_empty(status_path) && put_status("OFF\n") < 0) {
		std::perror("Failed to initialize status file");
		return 1;
	}
	char status[status_len] = "OFF";
	std::optional<float> temp;
	for (;;) {
		cycle(temp, status);
		sleep(period_s);
	}
}
