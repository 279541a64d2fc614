// Model-based test: seeded random sequences of temperature and status file
// contents, stepped cycle by cycle through the real client and checked
// against an independent model of what it reads, decides and writes.
// A failure prints the seed and the shortest sequence found that shows it.
// MODEL_SEED=<n> replays one seed; MODEL_CYCLES=<n> sets the steps a seed.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "isolate.h"

namespace {

namespace fs = std::filesystem;

constexpr int seeds = 20;
constexpr int cycles_per_seed = 250;

struct TempFile {
	const char *text;  // nullptr: no file
	std::optional<float> parsed;
};

// What "%f" must make of each, worked out by hand.
const TempFile temps[] = {
	{"68.999992\n", 68.999992f}, {"69.000000\n", 69.0f},     {"69.000008\n", 69.000008f},
	{"68.9999999\n", 69.0f},     {"74.999992\n", 74.999992f}, {"75.000000\n", 75.0f},
	{"75.000008\n", 75.000008f}, {"75.0000001\n", 75.0f},     {"60.000000\n", 60.0f},
	{"80.000000\n", 80.0f},      {"nan\n", NAN},              {"inf\n", INFINITY},
	{"-inf\n", -INFINITY},       {"7.5e1\n", 75.0f},          {"6.8e1\n", 68.0f},
	{" \n\t 76", 76.0f},         {"garbage\n", std::nullopt}, {"", std::nullopt},
	{"7", 7.0f},                 {"-", std::nullopt},         {nullptr, std::nullopt},
};

enum class Kind { regular, missing, unreadable, link, fifo };

struct StatusFile {
	Kind kind;
	std::string text;
};

const StatusFile statuses[] = {
	{Kind::regular, "ON\n"},       {Kind::regular, "OFF\n"},  {Kind::regular, "ONLINE\n"},
	{Kind::regular, "OF"},         {Kind::regular, " ON\n"},  {Kind::regular, "OFFICE hours\n"},
	{Kind::regular, ""},           {Kind::regular, "on\n"},   {Kind::missing, ""},
	{Kind::unreadable, "OFF\n"},   {Kind::link, ""},          {Kind::fifo, ""},
};

constexpr const char *victim = "ON\n";  // behind the planted link

struct Step {
	int temp = -1;    // index into temps, -1: leave the file as it is
	int status = -1;  // index into statuses, -1: leave the file as it is
};

// text with its newlines, tabs and quotes shown, for messages.
std::string shown(const std::string &text)
{
	std::string out = "\"";
	for (char c : text)
		out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '"' ? "\\\"" : std::string(1, c);
	return out + "\"";
}

const char *kind_names[] = {"file", "missing", "unreadable file", "link", "FIFO"};

std::string describe(const std::vector<Step> &steps)
{
	std::ostringstream os;
	for (const Step &s : steps) {
		os << "  temp ";
		if (s.temp < 0)
			os << "(as it was)";
		else if (!temps[s.temp].text)
			os << "(missing)";
		else
			os << shown(temps[s.temp].text);
		os << ", status ";
		if (s.status < 0)
			os << "(as it was)";
		else
			os << kind_names[static_cast<int>(statuses[s.status].kind)] << ' ' << shown(statuses[s.status].text);
		os << "\n";
	}
	return os.str();
}

// What the model expects of the world between two cycles.
struct Model {
	std::optional<float> temp;
	std::string line = "OFF";  // the client's last status line
	StatusFile file{Kind::missing, ""};
	const TempFile *temp_file = nullptr;

	// One cycle; returns what the client must report on stderr.
	std::string cycle()
	{
		if (!temp_file || !temp_file->text)
			return std::string("Cannot read temp: ") + std::strerror(ENOENT) + "\n";
		if (temp_file->parsed)
			temp = temp_file->parsed;
		read_status();
		std::string cmd = decide();
		if (cmd.empty())
			return "";
		switch (file.kind) {
		case Kind::link:
			return std::string("Cannot write status: ") + std::strerror(ELOOP) + "\n";
		case Kind::fifo:
			return std::string("Cannot write status: ") + std::strerror(ENXIO) + "\n";
		case Kind::missing:
			file.kind = Kind::regular;
			[[fallthrough]];
		default:
			file.text = cmd;
			return "";
		}
	}
	void read_status()
	{
		std::string text;
		if (file.kind == Kind::regular)
			text = file.text;
		else if (file.kind == Kind::link)
			text = victim;
		if (text.empty())
			return;
		size_t nl = text.find('\n');
		line = text.substr(0, std::min<size_t>(nl == std::string::npos ? text.size() : nl + 1, 7));
	}
	std::string decide() const
	{
		if (!temp)
			return "";
		if (*temp < 69.0f && line.compare(0, 2, "ON") != 0)
			return "ON\n";
		if (*temp > 75.0f && line.compare(0, 3, "OFF") != 0)
			return "OFF\n";
		return "";
	}
};

bool as_nobody()
{
	return geteuid() == 0;
}

void plant(const ClientRun &run, const StatusFile &s)
{
	fs::remove(run.path("status"));
	switch (s.kind) {
	case Kind::regular:
	case Kind::unreadable:
		run.put("status", s.text);
		chmod(run.path("status").c_str(), s.kind == Kind::regular ? 0666 : 0222);
		break;
	case Kind::missing:
		break;
	case Kind::link:
		symlink("victim", run.path("status").c_str());
		break;
	case Kind::fifo:
		mkfifo(run.path("status").c_str(), 0666);
		chmod(run.path("status").c_str(), 0666);
		break;
	}
}

// What is wrong with the status path against the model, or empty.
std::string compare(const ClientRun &run, const Model &m)
{
	struct stat st {};
	bool there = lstat(run.path("status").c_str(), &st) == 0;
	if (run.get("victim") != victim)
		return "the file behind the link was written";
	switch (m.file.kind) {
	case Kind::missing:
		return there ? "a status file appeared" : "";
	case Kind::link:
		return there && S_ISLNK(st.st_mode) ? "" : "the link was replaced";
	case Kind::fifo:
		return there && S_ISFIFO(st.st_mode) ? "" : "the FIFO was replaced";
	default: {
		std::optional<std::string> text = run.get("status");
		if (!text || *text != m.file.text)
			return "status file holds " + shown(text.value_or("(nothing)")) + ", model says " + shown(m.file.text);
		return "";
	}
	}
}

// Runs steps through a fresh client; returns the index of the first step
// after which the client and the model part, with why in *why.
std::optional<size_t> first_mismatch(const std::vector<Step> &steps, std::string *why)
{
	ClientRun run;
	run.put("victim", victim);
	Model m;
	run.start(as_nobody() ? nobody : static_cast<uid_t>(-1));
	if (!run.next() || run.get("status") != "OFF\n") {
		*why = "start-up did not make the status file";
		return 0;
	}
	m.file = {Kind::regular, "OFF\n"};
	run.take_stderr();
	for (size_t i = 0; i < steps.size(); i++) {
		const Step &s = steps[i];
		if (s.temp >= 0) {
			fs::remove(run.path("temp"));
			m.temp_file = &temps[s.temp];
			if (m.temp_file->text)
				run.put("temp", m.temp_file->text);
		}
		if (s.status >= 0) {
			plant(run, statuses[s.status]);
			m.file = statuses[s.status];
		}
		std::string expected = m.cycle();
		if (!run.next()) {
			*why = "the client ended";
			return i;
		}
		std::string err = run.take_stderr();
		if (err != expected) {
			*why = "stderr " + shown(err) + ", model says " + shown(expected);
			return i;
		}
		*why = compare(run, m);
		if (!why->empty())
			return i;
	}
	return std::nullopt;
}

// The shortest sequence found that still fails, by dropping steps.
std::vector<Step> shrink(std::vector<Step> steps)
{
	for (size_t i = 0; i + 1 < steps.size();) {
		std::vector<Step> shorter = steps;
		shorter.erase(shorter.begin() + static_cast<long>(i));
		std::string why;
		if (auto at = first_mismatch(shorter, &why)) {
			shorter.resize(*at + 1);
			steps = shorter;
		} else {
			i++;
		}
	}
	return steps;
}

std::vector<Step> generate(unsigned seed, int cycles)
{
	std::mt19937 rng(seed);
	std::uniform_int_distribution<int> temp(0, std::size(temps) - 1);
	std::uniform_int_distribution<int> status(0, std::size(statuses) - 1);
	std::bernoulli_distribution new_temp(0.7), new_status(0.3);
	std::vector<Step> steps(static_cast<size_t>(cycles));
	for (Step &s : steps) {
		s.temp = new_temp(rng) ? temp(rng) : -1;
		s.status = new_status(rng) ? status(rng) : -1;
		if (!as_nobody() && s.status >= 0 && statuses[s.status].kind == Kind::unreadable)
			s.status = -1;  // root reads anything
	}
	return steps;
}

int env_int(const char *name, int fallback)
{
	const char *v = getenv(name);
	return v ? std::atoi(v) : fallback;
}

TEST(ClientModel, AgreesWithTheModelOverRandomSequences)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	int cycles = env_int("MODEL_CYCLES", cycles_per_seed);
	int first = env_int("MODEL_SEED", 1);
	int last = getenv("MODEL_SEED") ? first : seeds;
	for (int seed = first; seed <= last; seed++) {
		std::vector<Step> steps = generate(static_cast<unsigned>(seed), cycles);
		auto at = first_mismatch(steps, &why);
		if (!at)
			continue;
		steps.resize(*at + 1);
		std::vector<Step> shortest = shrink(steps);
		std::string shortest_why;
		first_mismatch(shortest, &shortest_why);
		FAIL() << "seed " << seed << " (MODEL_SEED=" << seed << " replays it): " << why
		       << "\nshortest sequence, " << shortest.size() << " cycles after start-up: "
		       << shortest_why << "\n" << describe(shortest);
	}
}

} // namespace
