// A real MQTT broker for a test, and the command-line peers that talk to
// it: Debian's mosquitto, mosquitto_pub and mosquitto_sub.  The broker runs
// on free loopback ports with a configuration of the test's own, and every
// process started here is stopped and reaped, also when a test fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/types.h>

// Empty when the broker and its tools are installed; else what is missing.
std::string cannot_broker();

class Broker {
public:
	struct Options {
		std::string password_file;  // from make_password_file(); anonymous when empty
		std::string ca_dir;         // from make_test_ca(): adds a TLS listener
		bool persistent = false;    // keeps retained messages on disk, saved every second
		bool started = true;        // false: only its ports are chosen; start() starts it
		std::string acl_file = {};  // who may read and write what; everyone everything when empty
	};

	// Writes its configuration into dir (which must exist) and starts it.
	Broker(const std::string &dir, const Options &opt);
	~Broker();
	Broker(const Broker &) = delete;
	Broker &operator=(const Broker &) = delete;

	// Whether it listens; else why not.
	bool running() const { return pid_ > 0; }
	const std::string &why() const { return why_; }

	int port() const { return port_; }
	int tls_port() const { return tls_port_; }

	// Stops it (SIGTERM, reaped), and starts it again on the same ports,
	// with the certificate files of ca_dir as they are then.
	void stop();
	bool start();
	// Ends it as a crash does: SIGKILL, nothing saved but the last second's.
	void kill();

	// What it has logged, a line for each connection and its end.
	std::string log() const;

private:
	void end(int sig);

	std::string dir_;
	std::string why_;
	int port_ = 0;
	int tls_port_ = 0;
	pid_t pid_ = -1;
};

// 127.0.0.1:port, for the tests' own sockets.
sockaddr_in loopback(int port);

// Runs args[0] (a path) to its end, killing it after 10 s; true when it
// exited 0.  Its standard output is caught in *out when given; the wait
// ends with the tool, whatever else holds the output pipe open.
bool run_tool(const std::vector<std::string> &args, std::string *out = nullptr);

// Makes a password file with one user, through mosquitto_passwd.
bool make_password_file(const std::string &path, const char *user, const char *password);
// Adds a user to such a file.
bool add_password(const std::string &path, const char *user, const char *password);

// Makes a test CA in dir, and a server certificate it signed for
// 127.0.0.1 and localhost: ca.crt, server.crt, server.key.
bool make_test_ca(const std::string &dir);

// Replaces the server certificate and key of the CA in dir by new ones,
// valid for days from now (below 0: expired) for the subjectAltName san.
bool make_server_cert(const std::string &dir, int days, const char *san = "IP:127.0.0.1,DNS:localhost");

// Who the peers log in as; anonymous by default.
struct Login {
	const char *user = nullptr;
	const char *password = nullptr;
};

// mosquitto_pub, QoS 1.  Returns whether it exited 0.
bool mqtt_publish(int port, const char *topic, const char *payload, bool retain, Login login = {});

// The retained message of topic, or nothing when there is none (after a
// second's wait).
std::optional<std::string> mqtt_retained(int port, const char *topic, Login login = {});

// mosquitto_sub in the background, writing "topic payload" lines to a file.
// The constructor returns once it is subscribed (or after 5 s).
class Subscriber {
public:
	Subscriber(int port, const char *topic, const std::string &file, Login login = {});
	~Subscriber();
	Subscriber(const Subscriber &) = delete;
	Subscriber &operator=(const Subscriber &) = delete;

	// Everything it has received so far.
	std::string lines() const;

private:
	std::string file_;
	pid_t pid_ = -1;
};
