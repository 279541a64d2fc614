// The library's cost per call, with its waits seamed out: this binary
// brings its own sleep() and syslog(), which return at once.
//   lib_bench [benchmark flags]      Google Benchmark timings
//   lib_bench --calls write|read N   N calls and nothing else, for counting
//                                    system calls under strace
#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "ombrix.h"

extern "C" unsigned int sleep(unsigned int)
{
	return 0;
}

extern "C" void syslog(int, const char *, ...) {}
extern "C" void __syslog_chk(int, int, const char *, ...) {}

namespace {

// Paths in the working folder, which the benchmark script makes for it.
constexpr const char *temp_path = "temp";
constexpr const char *status_path = "status";

void BM_write_temperature(benchmark::State &state)
{
	float t = 60.0f;
	for (auto _ : state) {
		benchmark::DoNotOptimize(ombrix_write_temperature(temp_path, t));
		t = t < 80.0f ? t + 0.25f : 60.0f;
	}
}
BENCHMARK(BM_write_temperature);

void BM_read_attempt(benchmark::State &state)
{
	int heater = -1;
	for (auto _ : state)
		benchmark::DoNotOptimize(ombrix_read_state(status_path, &heater));
}
BENCHMARK(BM_read_attempt);

} // namespace

int main(int argc, char **argv)
{
	if (argc == 4 && std::strcmp(argv[1], "--calls") == 0) {
		bool write = std::strcmp(argv[2], "write") == 0;
		int heater;
		for (long i = std::atol(argv[3]); i > 0; i--)
			if ((write ? ombrix_write_temperature(temp_path, 72.5f)
			           : ombrix_read_state(status_path, &heater)) != OMBRIX_OK)
				return 1;
		return 0;
	}
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
