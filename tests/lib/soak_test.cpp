// Soak: 100,000 library calls, writes and reads, with instant waits;
// descriptors, heap and resident memory must be the same at the end as
// after the first hundred calls.
#include <filesystem>
#include <fstream>
#include <string>

#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fakes.h"
#include "ombrix.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

constexpr int calls_total = 100000;
constexpr int warm_up = 100;

struct Usage {
	size_t fds = 0;
	size_t heap = 0;
	long rss_kb = 0;
	bool operator==(const Usage &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Usage &u)
{
	return os << u.fds << " descriptors, " << u.heap << " heap bytes, " << u.rss_kb << " kB resident";
}

Usage usage()
{
	Usage u;
	u.fds = open_fds();
	if (!plain_build)
		return u;
	u.heap = mallinfo2().uordblks;
	if (resident_is_own)
		u.rss_kb = resident_kb(getpid());
	return u;
}

TEST(LibrarySoak, HoldsItsResourcesSteadyOverAHundredThousandCalls)
{
	std::string dir = fs::temp_directory_path() / "ombrix-soak-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir.data()));
	std::string temp = dir + "/temp", status = dir + "/status";
	std::ofstream(status) << "OFF\n";
	Usage warm;
	for (int i = 1; i <= calls_total; i++) {
		reset();
		if (i % 2) {
			ASSERT_EQ(ombrix_write_temperature(temp.c_str(), static_cast<float>(i % 30 + 55)), OMBRIX_OK);
		} else {
			int state = -1;
			ASSERT_EQ(ombrix_read_state(status.c_str(), &state), OMBRIX_OK);
			ASSERT_EQ(state, OMBRIX_HEATER_OFF);
		}
		if (i == warm_up)
			warm = usage();
	}
	reset();
	EXPECT_EQ(usage(), warm);
	fs::remove_all(dir);
}

} // namespace
