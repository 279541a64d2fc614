#include "broker.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *mosquitto = "/usr/sbin/mosquitto";
constexpr const char *mosquitto_pub = "/usr/bin/mosquitto_pub";
constexpr const char *mosquitto_sub = "/usr/bin/mosquitto_sub";
constexpr const char *mosquitto_passwd = "/usr/bin/mosquitto_passwd";
constexpr const char *openssl = "/usr/bin/openssl";
constexpr auto listen_deadline = 5s;
constexpr auto tool_deadline = 10s;
constexpr int poll_ms = 20;              // for the output and the end of a tool
constexpr const char *ready_topic = "ombrix-test/ready";
const std::vector<std::string> ec_key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

std::string slurp(const std::string &path)
{
	std::stringstream ss;
	ss << std::ifstream(path, std::ios::binary).rdbuf();
	return ss.str();
}

// Starts argv[0] with standard output and error into out (or /dev/null).
pid_t spawn(const std::vector<std::string> &args, const std::string &out)
{
	std::vector<char *> argv;
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	int fd = open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (fd >= 0) {
		dup2(fd, 1);
		dup2(fd, 2);
	}
	execv(argv[0], argv.data());
	_exit(127);
}

// Appends what fd holds now to *out (when given); false at its end.
bool take_output(int fd, std::string *out)
{
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		if (out)
			out->append(buf, static_cast<size_t>(n));
	return n != 0;
}

// Collects pid's output from fd until pid has ended, then what is left:
// not until the end of file, which a copy of the pipe's write end forked
// elsewhere in the test could hold off forever.  After tool_deadline pid
// is killed.  Whether it ended in time, with its wait status in *status.
bool collect(int fd, pid_t pid, int *status, std::string *out)
{
	fcntl(fd, F_SETFL, O_NONBLOCK);
	auto end = std::chrono::steady_clock::now() + tool_deadline;
	for (bool open = true;;) {
		// Once the pipe has ended, poll only waits out the interval.
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, open ? 1 : 0, poll_ms) > 0)
			open = take_output(fd, out);
		if (waitpid(pid, status, WNOHANG) == pid) {
			take_output(fd, out);
			return true;
		}
		if (std::chrono::steady_clock::now() >= end)
			return reap(pid, status, 0ms);
	}
}

} // namespace

bool run_tool(const std::vector<std::string> &args, std::string *out)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		return false;
	std::vector<char *> argv;
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fds[1], 1);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(fds[1]);
	int status = 0;
	bool ended = pid > 0 && collect(fds[0], pid, &status, out);
	close(fds[0]);
	return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

sockaddr_in loopback(int port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

namespace {

// A port that nothing listens on now: the kernel's pick for port 0.
int free_port()
{
	int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a = loopback(0);
	socklen_t len = sizeof a;
	int port = 0;
	if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
	    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
		port = ntohs(a.sin_port);
	close(s);
	return port;
}

bool listens(int port)
{
	int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a = loopback(port);
	bool yes = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
	close(s);
	return yes;
}

std::vector<std::string> client_args(const char *tool, int port, Login login = {})
{
	std::vector<std::string> args = {tool, "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1"};
	if (login.user)
		args.insert(args.end(), {"-u", login.user, "-P", login.password});
	return args;
}

} // namespace

std::string cannot_broker()
{
	for (const char *tool : {mosquitto, mosquitto_pub, mosquitto_sub, mosquitto_passwd, openssl})
		if (access(tool, X_OK) != 0)
			return std::string(tool) + " is not installed (Debian: mosquitto, mosquitto-clients, openssl)";
	return "";
}

Broker::Broker(const std::string &dir, const Options &opt) : dir_(dir)
{
	port_ = free_port();
	// The kernel may hand the same free port out twice in a row: the TLS
	// listener must not take the plain one's.
	if (!opt.ca_dir.empty())
		tls_port_ = free_port();
	for (int tries = 0; tls_port_ != 0 && tls_port_ == port_ && tries < 10; tries++)
		tls_port_ = free_port();
	std::ofstream conf(dir_ + "/mosquitto.conf");
	// As root it would switch to the user mosquitto, who cannot read here.
	conf << "user root\nlog_dest stderr\n";
	if (opt.persistent)
		conf << "persistence true\npersistence_location " << dir_ << "/\nautosave_interval 1\n";
	else
		conf << "persistence false\n";
	conf << "listener " << port_ << " 127.0.0.1\n";
	if (!opt.ca_dir.empty())
		conf << "listener " << tls_port_ << " 127.0.0.1\n"
		     << "cafile " << opt.ca_dir << "/ca.crt\n"
		     << "certfile " << opt.ca_dir << "/server.crt\n"
		     << "keyfile " << opt.ca_dir << "/server.key\n";
	if (opt.password_file.empty())
		conf << "allow_anonymous true\n";
	else
		conf << "allow_anonymous false\npassword_file " << opt.password_file << "\n";
	if (!opt.acl_file.empty())
		conf << "acl_file " << opt.acl_file << "\n";
	conf.close();
	if (opt.started)
		start();
}

Broker::~Broker()
{
	stop();
}

bool Broker::start()
{
	stop();
	pid_ = spawn({mosquitto, "-c", dir_ + "/mosquitto.conf"}, dir_ + "/broker.log");
	for (auto end = std::chrono::steady_clock::now() + listen_deadline;
	     std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
		int status;
		if (waitpid(pid_, &status, WNOHANG) == pid_) {
			pid_ = -1;
			why_ = "the broker ended: " + slurp(dir_ + "/broker.log");
			return false;
		}
		if (listens(port_) && (tls_port_ == 0 || listens(tls_port_)))
			return true;
	}
	stop();
	why_ = "the broker did not listen within 5 s: " + slurp(dir_ + "/broker.log");
	return false;
}

void Broker::stop()
{
	end(SIGTERM);
}

void Broker::kill()
{
	end(SIGKILL);
}

void Broker::end(int sig)
{
	if (pid_ <= 0)
		return;
	::kill(pid_, sig);
	int status;
	reap(pid_, &status, listen_deadline);
	pid_ = -1;
}

std::string Broker::log() const
{
	return slurp(dir_ + "/broker.log");
}

bool make_password_file(const std::string &path, const char *user, const char *password)
{
	return run_tool({mosquitto_passwd, "-b", "-c", path, user, password});
}

bool add_password(const std::string &path, const char *user, const char *password)
{
	return run_tool({mosquitto_passwd, "-b", path, user, password});
}

bool make_test_ca(const std::string &dir)
{
	std::vector<std::string> ca = {openssl, "req", "-x509", "-days", "2", "-subj", "/CN=ombrix test CA",
	                               "-keyout", dir + "/ca.key", "-out", dir + "/ca.crt"};
	ca.insert(ca.end(), ec_key.begin(), ec_key.end());
	return run_tool(ca) && make_server_cert(dir, 2);
}

bool make_server_cert(const std::string &dir, int days, const char *san)
{
	std::ofstream(dir + "/server.ext") << "subjectAltName=" << san << "\n";
	std::vector<std::string> csr = {openssl, "req", "-subj", "/CN=localhost",
	                                "-keyout", dir + "/server.key", "-out", dir + "/server.csr"};
	csr.insert(csr.end(), ec_key.begin(), ec_key.end());
	return run_tool(csr) &&
	       run_tool({openssl, "x509", "-req", "-days", std::to_string(days), "-in", dir + "/server.csr", "-CA",
	                 dir + "/ca.crt", "-CAkey", dir + "/ca.key", "-CAcreateserial", "-extfile",
	                 dir + "/server.ext", "-out", dir + "/server.crt"});
}

bool mqtt_publish(int port, const char *topic, const char *payload, bool retain, Login login)
{
	std::vector<std::string> args = client_args(mosquitto_pub, port, login);
	args.insert(args.end(), {"-t", topic, "-m", payload});
	if (retain)
		args.push_back("-r");
	return run_tool(args);
}

std::optional<std::string> mqtt_retained(int port, const char *topic, Login login)
{
	std::vector<std::string> args = client_args(mosquitto_sub, port, login);
	args.insert(args.end(), {"-t", topic, "-C", "1", "-W", "1", "--retained-only"});
	std::string out;
	if (!run_tool(args, &out))
		return std::nullopt;
	if (!out.empty() && out.back() == '\n')
		out.pop_back();
	return out;
}

Subscriber::Subscriber(int port, const char *topic, const std::string &file, Login login) : file_(file)
{
	std::vector<std::string> args = client_args(mosquitto_sub, port, login);
	args.insert(args.end(), {"-v", "-t", topic, "-t", ready_topic});
	pid_ = spawn(args, file_);
	for (auto end = std::chrono::steady_clock::now() + listen_deadline;
	     std::chrono::steady_clock::now() < end && lines().find(ready_topic) == std::string::npos;
	     std::this_thread::sleep_for(50ms))
		mqtt_publish(port, ready_topic, "1", false, login);
}

Subscriber::~Subscriber()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGTERM);
	int status;
	reap(pid_, &status, listen_deadline);
}

std::string Subscriber::lines() const
{
	return slurp(file_);
}
