// Soak: 100,000 cycles of the real client with instant sleeps, the room
// crossing both thresholds; descriptors, heap and resident memory must be
// the same at the end as after the first hundred cycles.
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "isolate.h"
#include "process.h"

namespace {

constexpr int cycles = 100000;
constexpr int warm_up = 100;
constexpr int swing = 50;  // cycles between crossings of the band

TEST(ClientSoak, HoldsItsResourcesSteadyOverAHundredThousandCycles)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	ClientRun run;
	run.put("temp", "60.000000\n");
	run.start();
	long rss_warm = 0;
	uint64_t heap_warm = 0;
	int commands = 0;
	std::string last = "OFF\n";
	for (int i = 1; i <= cycles; i++) {
		if (i % swing == 0)
			run.put("temp", (i / swing) % 2 ? "80.000000\n" : "60.000000\n");
		auto slept = run.next();
		ASSERT_TRUE(slept) << "cycle " << i;
		if (i == warm_up) {
			rss_warm = resident_kb(run.pid());
			heap_warm = slept->heap_bytes;
		}
		if (i > warm_up) {
			ASSERT_EQ(slept->heap_bytes, heap_warm) << "heap grew by cycle " << i;
		}
		if (i % swing == 1) {
			std::string now = run.get("status").value_or("");
			commands += now != last;
			last = now;
		}
	}
	if (resident_is_own) {
		EXPECT_EQ(resident_kb(run.pid()), rss_warm);
	}
	EXPECT_EQ(run.take_stderr(), "");
	EXPECT_GE(commands, cycles / swing - 1) << "the heater should switch at every crossing";
}

} // namespace
