// What the daemon says, with a reader that has stopped reading: nothing
// waits for it, and a flood of other lines never costs a safety rule's.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include "log.h"

namespace {

using namespace std::chrono_literals;

// Standard error as a small pipe, full already, that the test drains when
// it likes: the log thread blocks on its first write.
class StalledReader {
public:
	StalledReader()
	{
		EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
		fcntl(fds_[1], F_SETPIPE_SZ, 4096);
		fcntl(fds_[1], F_SETFL, O_NONBLOCK);
		std::string fill(4096, 'x');
		while (write(fds_[1], fill.data(), fill.size()) > 0) {
		}
		fcntl(fds_[1], F_SETFL, 0);
		saved_ = dup(2);
		dup2(fds_[1], 2);
	}
	~StalledReader()
	{
		dup2(saved_, 2);
		close(saved_);
		close(fds_[0]);
		close(fds_[1]);
	}

	// Reads what came until it holds part, or for a few seconds.
	std::string drain_until(const std::string &part)
	{
		fcntl(fds_[0], F_SETFL, O_NONBLOCK);
		auto end = std::chrono::steady_clock::now() + 5s;
		char buf[4096];
		while (text_.find(part) == std::string::npos && std::chrono::steady_clock::now() < end) {
			ssize_t n = read(fds_[0], buf, sizeof buf);
			if (n > 0)
				text_.append(buf, static_cast<size_t>(n));
			else
				std::this_thread::sleep_for(10ms);
		}
		return text_;
	}

private:
	int fds_[2] = {-1, -1};
	int saved_ = -1;
	std::string text_;
};

size_t count(const std::string &text, const std::string &part)
{
	size_t n = 0;
	for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
		n++;
	return n;
}

TEST(Log, AFloodNeverDropsARulesLine)
{
	StalledReader reader;
	log_start();
	report(LOG_INFO, "first, held up in the write");
	std::this_thread::sleep_for(100ms);
	for (int i = 0; i < 400; i++) {
		report(LOG_INFO, "flood %d", i);
		if (i % 40 == 0)
			report_kept(LOG_CRIT, "rule %d tripped", i / 40);
	}
	report_kept(LOG_INFO, "last");
	std::string said = reader.drain_until("ombrixd: last\n");
	for (int r = 0; r < 10; r++)
		EXPECT_EQ(count(said, "ombrixd: rule " + std::to_string(r) + " tripped\n"), 1u) << r << "\n" << said;
	EXPECT_NE(said.find("lines dropped: the log did not keep up"), std::string::npos) << said;
	EXPECT_LT(count(said, "ombrixd: flood"), 400u) << "the flood did overflow the queue";
}

} // namespace
