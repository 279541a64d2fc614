// exec:COMMAND: a shell command run as "COMMAND on" or "COMMAND off".
#include "heater.h"
#include "shell.h"

namespace {

constexpr size_t answer_len = 256;  // an exec: heater's output, read and ignored

bool open_command(const Config &cfg, Heater &h)
{
	h.on_command = cfg.heater_arg + " on";
	h.off_command = cfg.heater_arg + " off";
	return true;
}

bool run_command(const Heater &h, bool on, double, int cancel_fd, const char **why)
{
	char answer[answer_len];
	const std::string &command = on ? h.on_command : h.off_command;
	int rc = run_shell(command.c_str(), exec_heater_timeout_s, cancel_fd, answer, sizeof answer, why);
	if (rc > 0)
		*why = "the heater command failed";
	return rc == 0;
}

} // namespace

extern const HeaterKind exec_heater = {.name = "exec", .arg = "COMMAND", .on_bus = false, .resends = false,
                                .open = open_command, .drive = run_command, .last_off = nullptr,
                                .off_in_signal = nullptr};
