#include "process.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>

long resident_kb(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	for (std::string word; in >> word;)
		if (word == "VmRSS:") {
			long kb = -1;
			in >> kb;
			return kb;
		}
	return -1;
}

size_t open_fds()
{
	namespace fs = std::filesystem;
	size_t n = 0;
	for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
		n++;
	return n;
}

bool reap(pid_t pid, int *status, std::chrono::milliseconds deadline)
{
	using namespace std::chrono_literals;
	for (auto end = std::chrono::steady_clock::now() + deadline * emulator_slowdown;
	     std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms))
		if (waitpid(pid, status, WNOHANG) == pid)
			return true;
	kill(pid, SIGKILL);
	waitpid(pid, status, 0);
	return false;
}
