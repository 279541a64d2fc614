#include "store.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kit/file.h"
#include "kit/number.h"
#include "log.h"
#include "mailbox.h"
#include "setpoint.h"

namespace {

constexpr size_t stored_max = 1024;  // bytes; the file holds three short lines
constexpr mode_t stored_mode = 0640;
// A save takes milliseconds; the lock is waited for longer than a slow
// one, and no longer, so that a program that holds it cannot hang a writer.
constexpr auto lock_wait = std::chrono::seconds(5);
constexpr auto lock_retry = std::chrono::milliseconds(10);
constexpr const char *not_followed = "not followed: a symbolic link";

std::string path_of(const std::string &dir)
{
	return dir + "/" + stored_name;
}

// Why a file in folder is not to be believed, or nullptr.  The daemon
// believes its own files in a folder of its own; root (the board's
// command) also those of the folder's owner, for whom it writes.
const char *distrust(const struct stat &file, const struct stat &folder)
{
	uid_t me = geteuid();
	if (folder.st_mode & S_IWOTH)
		return "not trusted: its folder can be written by others";
	if (folder.st_uid != me && me != 0)
		return "not trusted: its folder is owned by another user";
	if (file.st_uid != me && !(me == 0 && file.st_uid == folder.st_uid))
		return "not trusted: owned by another user";
	return nullptr;
}

// The whole file, when it is a regular one of sane size that can be
// trusted; a FIFO or a device planted in its place can hang nothing, and
// a link planted there leads nowhere.
Load read_file(const std::string &dir, std::string *text, const char **why)
{
	const char *open_why = nullptr;
	int fd = open_regular(path_of(dir).c_str(), O_RDONLY | O_NOFOLLOW, stored_max, &open_why);
	if (fd < 0 && errno == ENOENT)
		return Load::none;
	if (fd < 0) {
		bool planted = open_why == file_not_regular || open_why == file_too_long;
		*why = errno == ELOOP ? not_followed : planted ? open_why : "cannot be read";
		return Load::bad;
	}
	struct stat file, folder;
	if (fstat(fd, &file) < 0 || stat(dir.c_str(), &folder) < 0)
		*why = "cannot be read";
	else
		*why = distrust(file, folder);
	if (*why) {
		close(fd);
		return Load::bad;
	}
	char buf[stored_max + 1];
	ssize_t n = read(fd, buf, sizeof buf);
	close(fd);
	if (n < 0 || static_cast<size_t>(n) > stored_max) {
		*why = n < 0 ? "cannot be read" : "too long";
		return Load::bad;
	}
	text->assign(buf, static_cast<size_t>(n));
	return Load::ok;
}

// One name=value line into *s; false for anything else.
bool parse_line(std::string_view line, Unit *unit, bool *has_unit, Stored *s)
{
	size_t eq = line.find('=');
	if (eq == std::string_view::npos)
		return false;
	std::string_view name = line.substr(0, eq);
	std::string value(line.substr(eq + 1));
	if (name == "unit")
		return (*has_unit = parse_unit(value.c_str(), unit));
	if (name == "target")
		return (s->has_target = parse_written_number(value, &s->target));
	if (name == "mode")
		return (s->has_mode = parse_mode(value.c_str(), &s->mode));
	return false;
}

// The text of a file, all its lines whole and good, and a unit with any target.
bool parse(std::string_view text, Unit u, Stored *got)
{
	Stored s;
	Unit unit = u;
	bool has_unit = false;
	if (!text.empty() && text.back() != '\n')
		return false;  // cut short
	while (!text.empty()) {
		size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl + 1);
		if (!line.empty() && line[0] != '#' && !parse_line(line, &unit, &has_unit, &s))
			return false;
	}
	if (s.has_target && !has_unit)
		return false;
	if (s.has_target)
		s.target = convert(s.target, unit, u);
	*got = s;
	return true;
}

std::string format(Unit u, const Stored &s)
{
	char text[256];
	int n = std::snprintf(text, sizeof text, "# ombrixd: settings made at run time; they win over the zone's "
	                      "options\nunit=%s\n", unit_name(u));
	std::string out(text, static_cast<size_t>(n));
	if (s.has_target) {
		n = std::snprintf(text, sizeof text, "target=%.17g\n", s.target);
		out.append(text, static_cast<size_t>(n));
	}
	if (s.has_mode)
		out += std::string("mode=") + mode_name(s.mode) + "\n";
	return out;
}

// The new file, whole and on the disk, under a name of its own; "" on failure.
std::string write_new(const std::string &dir, const std::string &text)
{
	std::string tmp = path_of(dir) + ".XXXXXX";
	int fd = mkostemp(tmp.data(), O_CLOEXEC);
	if (fd < 0)
		return "";
	struct stat folder;
	bool ok = fchmod(fd, stored_mode) == 0;
	if (ok && geteuid() == 0 && stat(dir.c_str(), &folder) == 0)
		ok = fchown(fd, folder.st_uid, folder.st_gid) == 0;
	ok = ok && write_all(fd, text.data(), text.size()) && fsync(fd) == 0;
	ok = close(fd) == 0 && ok;
	if (!ok) {
		int err = errno;
		unlink(tmp.c_str());
		errno = err;
		return "";
	}
	return tmp;
}

// The folder's lock, held while it lives: the writers read, change and
// replace the file under it, one at a time.
class FolderLock {
public:
	explicit FolderLock(const std::string &dir) : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
	{
		auto until = std::chrono::steady_clock::now() + lock_wait;
		while (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) < 0) {
			if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
				why_ = errno == EWOULDBLOCK ? "the folder stays locked by another program" : std::strerror(errno);
				close(fd_);
				fd_ = -1;
				return;
			}
			std::this_thread::sleep_for(lock_retry);
		}
		if (fd_ < 0 && !why_)
			why_ = std::strerror(errno);
	}
	~FolderLock()
	{
		if (fd_ >= 0)
			close(fd_);  // lets go of the lock
	}
	FolderLock(const FolderLock &) = delete;
	FolderLock &operator=(const FolderLock &) = delete;

	int fd() const { return fd_; }
	// nullptr once held; else why not.
	const char *why() const { return why_; }

private:
	int fd_;
	const char *why_ = nullptr;
};

// What mkostemp makes of setpoint.XXXXXX: six letters or digits.
bool is_new_file(const char *name)
{
	size_t n = std::strlen(stored_name);
	if (std::strncmp(name, stored_name, n) != 0 || name[n] != '.' || std::strlen(name + n + 1) != 6)
		return false;
	for (const char *c = name + n + 1; *c; c++)
		if (!std::isalnum(static_cast<unsigned char>(*c)))
			return false;
	return true;
}

} // namespace

Load load_stored(const std::string &dir, Unit u, Stored *got, const char **why)
{
	std::string text;
	Load l = read_file(dir, &text, why);
	if (l != Load::ok)
		return l;
	if (!parse(text, u, got)) {
		*why = "not unit=, target= and mode= lines";
		return Load::bad;
	}
	return Load::ok;
}

const char *save_stored(const std::string &dir, Unit u, const Stored &s)
{
	std::string tmp = write_new(dir, format(u, s));
	if (tmp.empty())
		return std::strerror(errno);
	if (rename(tmp.c_str(), path_of(dir).c_str()) < 0) {
		int err = errno;
		unlink(tmp.c_str());
		return std::strerror(err);
	}
	// The rename is on the disk once the folder is.
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	bool synced = fd >= 0 && fsync(fd) == 0;
	int err = errno;
	if (fd >= 0)
		close(fd);
	return synced ? nullptr : std::strerror(err);
}

const char *keep_stored(const std::string &dir, Unit u, const Stored &change)
{
	FolderLock hold(dir);
	if (hold.why())
		return hold.why();
	Stored s;
	const char *why = nullptr;
	if (load_stored(dir, u, &s, &why) != Load::ok)
		s = Stored{};  // what cannot be read is replaced whole
	overlay(s, change);
	return save_stored(dir, u, s);
}

unsigned clean_stored(const std::string &dir)
{
	FolderLock hold(dir);  // no save is under way: each new file is a leftover
	if (hold.why())
		return 0;
	int fd = dup(hold.fd());
	DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!d) {
		if (fd >= 0)
			close(fd);
		return 0;
	}
	unsigned removed = 0;
	while (const dirent *e = readdir(d))
		if (is_new_file(e->d_name) && unlinkat(hold.fd(), e->d_name, 0) == 0)
			removed++;
	closedir(d);
	return removed;
}

Keeper::Keeper(const Config &cfg, Mailbox &mb) : cfg_(cfg), mb_(mb)
{
	std::thread([this] { run(); }).detach();
}

void Keeper::save(const Stored &change)
{
	if (cfg_.state_dir.empty())
		return;  // nowhere to keep it: the start said so
	{
		std::lock_guard<std::mutex> hold(lock_);
		overlay(change_, change);
		due_ = true;
	}
	wake_.notify_one();
}

void Keeper::load()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		load_ = true;
	}
	wake_.notify_one();
}

bool Keeper::flush(std::chrono::milliseconds wait)
{
	std::unique_lock<std::mutex> hold(lock_);
	ending_ = true;
	wake_.notify_one();
	bool done = idle_.wait_for(hold, wait, [this] { return !due_ && !busy_; });
	gone_ = true;
	return done;
}

// What the hub set goes to the disk, over what the file holds by then; a
// failure is said once, until a save works again.
void Keeper::save_now(const Stored &change)
{
	const char *why = keep_stored(cfg_.state_dir, cfg_.unit, change);
	const char *was = nullptr;
	{
		std::lock_guard<std::mutex> hold(lock_);
		if (gone_)
			return;  // the end no longer waits: its reports are out
		was = std::exchange(failing_, why);
		if (why) {
			// Tried again with the next change; what the hub set since wins.
			Stored newer = change_;
			change_ = change;
			overlay(change_, newer);
		}
	}
	if (why && !was)
		report(LOG_ERR, "cannot keep the setting in %s: %s", cfg_.state_dir.c_str(), why);
	else if (!why && was)
		report(LOG_NOTICE, "the setting is kept in %s again", cfg_.state_dir.c_str());
	mb_.post_kept(change, why == nullptr);
}

void Keeper::run()
{
	if (!cfg_.state_dir.empty())
		if (unsigned n = clean_stored(cfg_.state_dir))
			report(LOG_NOTICE, "removed %u unfinished %s.* file(s) that a killed save left in %s", n, stored_name,
			       cfg_.state_dir.c_str());
	std::unique_lock<std::mutex> hold(lock_);
	for (;;) {
		// A load, or the end, takes what waits at once; else the mark.
		while (!load_ && !(due_ && (ending_ || std::chrono::steady_clock::now() >= next_save_))) {
			if (due_)
				wake_.wait_until(hold, next_save_);
			else
				wake_.wait(hold);
		}
		bool saving = std::exchange(due_, false);
		Stored change = std::exchange(change_, Stored{});
		bool loading = std::exchange(load_, false);
		busy_ = true;
		if (saving)
			next_save_ = std::chrono::steady_clock::now() + save_interval;
		hold.unlock();
		if (saving)
			save_now(change);
		if (loading) {
			{
				// What could not be kept is given up: the reload goes back to the file.
				std::lock_guard<std::mutex> drop(lock_);
				if (!due_)
					change_ = Stored{};
			}
			const char *why = nullptr;
			Stored got;
			Load l = load_stored(cfg_.state_dir, cfg_.unit, &got, &why);
			mb_.post_loaded(l, got, why);
		}
		hold.lock();
		busy_ = false;
		idle_.notify_all();
	}
}
