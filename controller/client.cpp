// client: the thermostat.  Every five seconds it reads the room temperature
// from /tmp/temp and commands the heater by rewriting /tmp/status with "ON\n"
// below 69 and "OFF\n" above 75; in between it leaves the command as it is.
//
// Both files sit in world-writable /tmp and are shared, without locks, with
// the temperature daemon; exchange.h opens them safely.

#include <cstdio>
#include <cstring>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

#include "exchange.h"
#include "law.h"

namespace {

constexpr const char *temp_path = "/tmp/temp";
constexpr const char *status_path = "/tmp/status";
constexpr int status_len = 8;       // status line: 7 characters and a NUL

// 1 when stat succeeds on filename and reports a size above 0; 0 when stat
// fails for any reason or the size is 0.
int file_exists_and_not_empty(const char *filename)
{
	struct stat st;
	return stat(filename, &st) == 0 && st.st_size > 0;
}

// Sets the status file to cmd, in place.
int put_status(const char *cmd)
{
	return rewrite(status_path, cmd, std::strlen(cmd));
}

// Reads the temperature file's first number into temp; a file that holds
// none leaves temp as it was.  Returns -1 with errno set when the file does
// not open, else 0.
int read_temp(std::optional<float> &temp)
{
	char buf[read_buf_len];
	File f(open_read(temp_path, "r", buf));
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
	char buf[read_buf_len];
	File f(open_read(status_path, "r", buf));
	char line[status_len] = {};
	if (f.get() && std::fgets(line, sizeof line, f.get()))
		std::memcpy(status, line, sizeof line);
}

// The command for temp given the last status line, or nullptr for none.
// Comparisons are strict and in single precision; the status prefixes are
// case-sensitive.
const char *decide(float temp, const char *status)
{
	if (temp < law::on_below && std::strncmp(status, "ON", 2) != 0)
		return "ON\n";
	if (temp > law::off_above && std::strncmp(status, "OFF", 3) != 0)
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
		sleep(law::period_s);
	}
}
