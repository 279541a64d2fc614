// The link to the broker, broken the ways a home network breaks it: a
// broker that starts after the daemon, one that crashes, a connection
// closed or reset or gone silent on the way (through the tests' own
// proxy), certificates that are wrong, expired or renewed, and a second
// daemon of the same zone.  The daemon must always come back, say each
// failure once with its reason, and let only one daemon drive a zone.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "isolate.h"
#include "mqtt_case.h"
#include "proxy.h"

namespace {

constexpr auto attempts_deadline = 10s;    // backoff 1, 2, 4 s: three attempts
constexpr auto connack_deadline = 15s;     // the daemon waits 10 s for an answer
constexpr auto will_deadline = 30s;        // the broker's 1.5 keepalives of silence
constexpr auto keepalive_deadline = 20s;   // then the daemon's two: a ping, and 15 s for its answer
constexpr auto hold_back_settle = 4s;      // for a takeover loop to show, if there were one
constexpr auto silent_stop_deadline = 12s; // 5 s for the plug's OFF, 1 s for "offline", 2 s to disconnect

const char *const lost = "mqtt: lost the broker: ";
const char *const cannot = "mqtt: cannot connect to ";
const char *const connected = "mqtt: connected to ";

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

// A host name of this test's own: cases that run side by side share the
// machine, where a daemon's host lock is named after it.
std::string host_named(const char *name)
{
	return std::string(name) + "-" + std::to_string(getpid());
}

class MqttLink : public MqttDaemon {
protected:
	// A TLS broker and a daemon that trusts its CA: the CA's files go in
	// the run's /tmp.
	void start_tls_broker(DaemonRun &run, Broker::Options opt = {})
	{
		ASSERT_TRUE(make_test_ca(run.tmp()));
		opt.ca_dir = run.tmp();
		start_broker(opt);
	}

	std::vector<std::string> tls_args(int port, std::vector<std::string> more = {}) const
	{
		std::vector<std::string> a = args({"--mqtt", tls_url_at(port), "--mqtt-ca", "/tmp/ca.crt"});
		a.insert(a.end(), more.begin(), more.end());
		return a;
	}

	bool logs(const DaemonRun &run, const std::string &part, std::chrono::milliseconds deadline)
	{
		return wait_for([&] { return has(run.err(), part); }, deadline);
	}

	void start_acl_broker();
	// The zone attic as its own user, under that ACL, its controller's
	// command as given.
	void start_attic(DaemonRun &run, const char *command);

	// The daemon has come (back) online, the n-th time.
	bool online(const DaemonRun &run, size_t n, std::chrono::milliseconds deadline)
	{
		return wait_for([&] { return count(run.err(), connected) >= n; }, deadline) &&
		       retained_is("ombrix/attic/availability", "online", 2s);
	}

	// Two daemons of the zone on hosts of their own, started together, each
	// finding status in its status file.
	void start_rivals(DaemonRun &a, DaemonRun &b, const char *status)
	{
		a.host(host_named("alpha"));
		b.host(host_named("beta"));
		for (DaemonRun *run : {&a, &b}) {
			run->put("status", status);
			run->start(args({}), false);
		}
	}

	// One of the two holds the zone, and the other holds back.
	static bool one_holds(const DaemonRun &a, const DaemonRun &b)
	{
		return count(a.err() + b.err(), connected) == 1 &&
		       has(a.out(), "rule=duplicate-zone") != has(b.out(), "rule=duplicate-zone");
	}
};

// --- the broker comes late, or goes ----------------------------------------

class MqttLate : public MqttLink, public testing::WithParamInterface<bool> {};

TEST_P(MqttLate, ConnectsOnceTheBrokerListensAndSaysTheRefusalOnce)
{
	bool tls = GetParam();
	DaemonRun run;
	Broker::Options opt;
	opt.started = false;
	if (tls)
		start_tls_broker(run, opt);
	else
		start_broker(opt);
	run.start(tls ? tls_args(broker_->tls_port()) : args({}), false);
	// Refused, and refused again after the backoff.
	ASSERT_TRUE(logs(run, std::string(cannot) + "127.0.0.1 port", attempts_deadline)) << run.err();
	std::this_thread::sleep_for(2s);
	ASSERT_TRUE(broker_->start()) << broker_->why();
	EXPECT_TRUE(online(run, 1, reconnect_deadline)) << run.err();
	EXPECT_EQ(count(run.err(), cannot), 1u) << run.err();
	EXPECT_TRUE(has(run.err(), "Connection refused; retrying")) << run.err();
}

INSTANTIATE_TEST_SUITE_P(Link, MqttLate, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "tls" : "plain"; });

TEST_F(MqttLink, ATlsBrokerThatCrashedIsToldTheStateAgain)
{
	DaemonRun run;
	Broker::Options opt;
	opt.persistent = true;  // it keeps "online" and "ON" over its crash
	start_tls_broker(run, opt);
	drive_on(run, {"--mqtt", tls_url_at(broker_->tls_port()), "--mqtt-ca", "/tmp/ca.crt"}, "15");
	ASSERT_TRUE(retained_is("ombrix/attic/heater", "ON", 3s));
	std::this_thread::sleep_for(1500ms);  // saved once a second
	feeder_.reset();
	broker_->kill();
	EXPECT_TRUE(logs(run, lost, 3s)) << run.err();
	// No OFF reaches the plug now: the state line says so.
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "heater=failed rule=sensor-lost"); }, lost_deadline))
		<< run.out();
	ASSERT_TRUE(broker_->start()) << broker_->why();
	// The daemon comes back and corrects what the broker kept.
	EXPECT_TRUE(online(run, 2, reconnect_deadline)) << run.err();
	EXPECT_TRUE(retained_is("ombrix/attic/heater", "OFF", 2s));
	EXPECT_TRUE(retained_is("ombrix/attic/fault", "sensor-lost", 2s));
}

// --- connections broken on the way -----------------------------------------

struct Cut {
	const char *name;
	bool tls;
	Proxy::Cut how;
	std::vector<const char *> whys;  // what the daemon may say: TLS tells a reset by a read or a write
};

void PrintTo(const Cut &c, std::ostream *os)
{
	*os << c.name;
}

class MqttCut : public MqttLink, public testing::WithParamInterface<Cut> {};

TEST_P(MqttCut, ComesBackWithTheWillToldAndTheCommandSentAgain)
{
	const Cut &c = GetParam();
	DaemonRun run;
	c.tls ? start_tls_broker(run) : start_broker();
	Proxy proxy(c.tls ? broker_->tls_port() : broker_->port());
	ASSERT_NE(proxy.port(), 0);
	run.put("status", "OFF\n");
	run.start(c.tls ? tls_args(proxy.port()) : args({"--mqtt", url_at(proxy.port())}), false);
	ASSERT_TRUE(online(run, 1, online_deadline)) << run.err();
	Subscriber hub(port_, "ombrix/attic/availability", dir_ + "/hub");
	subscribe(plug_topic);
	proxy.cut(c.how);
	EXPECT_TRUE(wait_for([&] {
		return std::any_of(c.whys.begin(), c.whys.end(),
		                   [&](const char *why) { return has(run.err(), std::string(lost) + why + "; reconnecting"); });
	}, 3s)) << run.err();
	EXPECT_TRUE(online(run, 2, reconnect_deadline)) << run.err();
	EXPECT_TRUE(plug_got("OFF", 3s)) << sub_->lines();
	// The broker told the hub of the loss, and the daemon of its return.
	std::string seen = hub.lines();
	size_t offline = seen.find("availability offline");
	EXPECT_NE(offline, std::string::npos) << seen;
	EXPECT_NE(seen.find("availability online", offline), std::string::npos) << seen;
	EXPECT_EQ(count(run.err(), lost), 1u) << run.err();
}

INSTANTIATE_TEST_SUITE_P(Link, MqttCut,
	testing::Values(Cut{"plain_fin", false, Proxy::Cut::fin, {"the connection was closed or reset"}},
	                Cut{"plain_rst", false, Proxy::Cut::rst, {"the connection was closed or reset"}},
	                Cut{"tls_fin", true, Proxy::Cut::fin, {"TLS: unexpected eof while reading"}},
	                Cut{"tls_rst", true, Proxy::Cut::rst, {"Connection reset by peer", "Broken pipe"}}),
	[](const testing::TestParamInfo<Cut> &i) { return std::string(i.param.name); });

TEST_F(MqttLink, ABrokerThatNeverAnswersIsSaidOnceAndTriedAgain)
{
	start_broker();
	Proxy proxy(port_);
	ASSERT_NE(proxy.port(), 0);
	proxy.silence(true);
	DaemonRun run;
	run.start(args({"--mqtt", url_at(proxy.port())}), false);
	EXPECT_TRUE(logs(run, "port " + std::to_string(proxy.port()) +
	                 ": no answer to the connection within 10 s; retrying", connack_deadline)) << run.err();
	EXPECT_TRUE(wait_for([&] { return proxy.accepted() >= 2; }, 3s)) << proxy.accepted();
	proxy.silence(false);
	EXPECT_TRUE(online(run, 1, connack_deadline)) << run.err();
	EXPECT_EQ(count(run.err(), cannot), 1u) << run.err();
}

TEST_F(MqttLink, ASilentLinkIsNoticedByTheKeepaliveOnBothEnds)
{
	start_broker();
	Proxy proxy(port_);
	ASSERT_NE(proxy.port(), 0);
	DaemonRun run;
	run.start(args({"--mqtt", url_at(proxy.port())}), false);
	ASSERT_TRUE(online(run, 1, online_deadline)) << run.err();
	proxy.silence(true);
	// The broker gives up on the silent daemon and tells its Last Will...
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "offline", will_deadline));
	// ...and the daemon on the silent broker, and comes back once it can.
	EXPECT_TRUE(logs(run, std::string(lost) + "no answer to the keepalive within 15 s; reconnecting",
	                 keepalive_deadline)) << run.err();
	proxy.silence(false);
	EXPECT_TRUE(online(run, 2, reconnect_deadline)) << run.err();
}

TEST_F(MqttLink, AStaleLastWillIsPutRight)
{
	start_broker();
	DaemonRun run;
	run.start(args({}), false);
	ASSERT_TRUE(online(run, 1, online_deadline)) << run.err();
	// As the Last Will of a session that ended after this one began.
	ASSERT_TRUE(mqtt_publish(port_, "ombrix/attic/availability", "offline", true));
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "online", 3s));
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << run.err();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability"), "offline") << "its own goodbye stands";
}

// --- certificates -----------------------------------------------------------

struct BadCert {
	const char *name;
	int days;          // of the broker's certificate
	const char *san;   // what it is for
	bool other_ca;     // the daemon trusts another CA
	const char *why;   // what the daemon says
};

void PrintTo(const BadCert &c, std::ostream *os)
{
	*os << c.name;
}

class MqttCert : public MqttLink, public testing::WithParamInterface<BadCert> {};

TEST_P(MqttCert, IsSaidOnceWithItsReasonAndARenewedOneIsTaken)
{
	const BadCert &c = GetParam();
	DaemonRun run;
	ASSERT_TRUE(make_test_ca(run.tmp()));
	ASSERT_TRUE(make_server_cert(run.tmp(), c.days, c.san));
	Broker::Options opt;
	opt.ca_dir = run.tmp();
	start_broker(opt);
	std::string ca = "/tmp/ca.crt";
	if (c.other_ca) {
		std::string other = run.tmp() + "/other";
		std::filesystem::create_directory(other);
		ASSERT_TRUE(make_test_ca(other));
		ca = "/tmp/other/ca.crt";
	}
	run.start(args({"--mqtt", tls_url_at(broker_->tls_port()), "--mqtt-ca", ca}), false);
	EXPECT_TRUE(logs(run, std::string(cannot) + "127.0.0.1 port " + std::to_string(broker_->tls_port()) +
	                 ": TLS: " + c.why + "; retrying", attempts_deadline)) << run.err();
	EXPECT_TRUE(wait_for([&] { return count(broker_->log(), "New connection from") >= 3; }, attempts_deadline))
		<< broker_->log();
	EXPECT_EQ(count(run.err(), cannot), 1u) << run.err();
	EXPECT_EQ(count(run.err(), "TLS: "), 1u) << run.err();
	if (c.other_ca)
		return;
	// Renewed: the next attempt takes it, however long the backoff has grown.
	ASSERT_TRUE(make_server_cert(run.tmp(), 2));
	broker_->stop();
	ASSERT_TRUE(broker_->start()) << broker_->why();
	EXPECT_TRUE(online(run, 1, reconnect_deadline)) << run.err();
}

INSTANTIATE_TEST_SUITE_P(Link, MqttCert,
	testing::Values(BadCert{"expired", -1, "IP:127.0.0.1", false, "certificate has expired"},
	                BadCert{"other_host", 2, "DNS:elsewhere.example", false, "host name verification failed"},
	                BadCert{"unknown_ca", 2, "IP:127.0.0.1", true, "self-signed certificate in certificate chain"}),
	[](const testing::TestParamInfo<BadCert> &i) { return std::string(i.param.name); });

TEST(MqttCa, AMissingGarbageOrPlantedCaFileExitsOneAtStartWithOneLine)
{
	std::string why = cannot_isolate();
	if (!why.empty())
		GTEST_SKIP() << why;
	for (const char *file : {"/tmp/missing.crt", "/tmp/garbage.crt", "/tmp/empty.crt", "/tmp/fifo.crt",
	                         "/tmp/link.crt"}) {
		DaemonRun run;
		run.put("garbage.crt", "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n");
		run.put("empty.crt", "");
		ASSERT_EQ(mkfifo((run.tmp() + "/fifo.crt").c_str(), 0600), 0);
		ASSERT_EQ(symlink("/tmp/garbage.crt", (run.tmp() + "/link.crt").c_str()), 0);
		run.start({"--mqtt", "mqtts://127.0.0.1:1", "--mqtt-ca", file, "--sensor", "mqtt:room/sensor",
		           "--heater", "mqtt:room/plug"}, false);
		EXPECT_EQ(run.wait_exit(stop_deadline), 1) << file << ": " << run.err();
		std::string err = run.err();
		EXPECT_EQ(count(err, "\n"), 1u) << err;
		EXPECT_TRUE(has(err, std::string("ombrixd: --mqtt-ca: ") + file + ": ")) << err;
	}
}

// A stop whose OFF the broker never took is no clean stop: the plug may
// still be ON.
TEST_F(MqttLink, AStopWhoseOffTheBrokerNeverTookExitsOne)
{
	start_broker();
	Proxy proxy(port_);
	ASSERT_NE(proxy.port(), 0);
	DaemonRun run;
	drive_on(run, {"--mqtt", url_at(proxy.port())}, "15");
	proxy.silence(true);
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(silent_stop_deadline), 1) << run.err();
	EXPECT_TRUE(has(run.err(), "cannot switch the heater OFF: the broker did not acknowledge it")) << run.err();
}

// --- one message on the claim topic ------------------------------------------

// Whoever may publish on the broker sends one message on the zone's claim
// topic while the daemon heats.  It may hold back for a moment, but never
// with the plug left ON, and never for good.
struct Forgery {
	const char *name;
	const char *text;
	bool retained;
	bool on_claim;  // sent while the daemon claims the zone again, after its link was cut
};

void PrintTo(const Forgery &f, std::ostream *os)
{
	*os << f.name;
}

class MqttForged : public MqttLink, public testing::WithParamInterface<Forgery> {};

TEST_P(MqttForged, LeavesThePlugOffAndTheZoneHeatsAgainWithinTheBound)
{
	const Forgery &f = GetParam();
	start_broker();
	Proxy proxy(port_);
	ASSERT_NE(proxy.port(), 0);
	DaemonRun run;
	drive_on(run, {"--mqtt", url_at(proxy.port())}, "15");
	if (f.on_claim) {
		Subscriber claims(port_, "ombrix/attic/claim", dir_ + "/claims");
		proxy.cut(Proxy::Cut::fin);
		ASSERT_TRUE(wait_for([&] { return has(claims.lines(), "ombrix/attic/claim claim ombrixd-attic-"); },
		                     reconnect_deadline)) << run.err();
	}
	ASSERT_TRUE(mqtt_publish(port_, "ombrix/attic/claim", f.text, f.retained));
	EXPECT_TRUE(logs(run, "(" + std::string(f.text) + "); this one holds back", 2s)) << run.err();
	// A period is 1 s: the OFF goes out before the daemon lets go.
	EXPECT_TRUE(plug_got("OFF", 2s)) << run.err() << sub_->lines();
	EXPECT_TRUE(wait_for([&] { return has(run.out(), "rule=duplicate-zone"); }, 2s)) << run.out();
	// Nobody says "held" after it: the zone is this daemon's again.
	EXPECT_TRUE(plug_got("ON", zone_back_deadline)) << run.err() << sub_->lines();
	EXPECT_TRUE(logs(run, "rule duplicate-zone cleared", 2s)) << run.err();
	EXPECT_TRUE(retained_is("ombrix/attic/availability", "online", 2s));
}

INSTANTIATE_TEST_SUITE_P(Claim, MqttForged,
	testing::Values(Forgery{"held", "held a", false, false},
	                Forgery{"retained_held", "held a", true, false},
	                Forgery{"claim", "claim a", false, true}),
	[](const testing::TestParamInfo<Forgery> &i) { return std::string(i.param.name); });

TEST_F(MqttLink, ARetainedClaimKeepsNoDaemonOffTheZone)
{
	start_broker();
	ASSERT_TRUE(mqtt_publish(port_, "ombrix/attic/claim", "held a", true));
	DaemonRun run;
	drive_on(run, {}, "15");
	EXPECT_FALSE(has(run.err(), "holds back")) << run.err();
}

// --- two daemons, one zone ---------------------------------------------------

class MqttZone : public MqttLink, public testing::WithParamInterface<bool> {
protected:
	// The second daemon has a heater of its own, which it would switch ON
	// for its cold reading and the command, were the zone its own.
	void start_second(DaemonRun &second)
	{
		second.put("sensor", "15\n");
		second.put("heater", "0\n");
		second.put("status", "ON\n");
		second.start({"--mqtt", url(), "--period", "1", "--zone", "attic", "--sensor", "file:/tmp/sensor",
		              "--heater", "file:/tmp/heater"}, false);
	}
};

TEST_P(MqttZone, ASecondDaemonHoldsBackWithItsHeaterOff)
{
	bool same_host = GetParam();
	start_broker();
	DaemonRun first, second;
	first.host(host_named("alpha"));
	second.host(host_named(same_host ? "alpha" : "beta"));
	first.put("status", "OFF\n");
	first.start(args({}), false);
	ASSERT_TRUE(online(first, 1, online_deadline)) << first.err();
	start_second(second);
	EXPECT_TRUE(wait_for([&] { return has(second.out(), "heater=OFF rule=duplicate-zone"); }, online_deadline))
		<< second.out() << second.err();
	EXPECT_TRUE(has(second.err(), "rule duplicate-zone tripped: another ombrixd holds zone attic")) << second.err();
	EXPECT_TRUE(has(second.err(), same_host ? "holds zone attic on this host" : "(held ombrixd-attic-alpha"))
		<< second.err();
	std::this_thread::sleep_for(hold_back_settle);
	EXPECT_EQ(second.get("heater"), "0\n");
	EXPECT_FALSE(has(second.err(), connected)) << second.err();
	// The first keeps the zone, and is never taken over.
	EXPECT_EQ(count(first.err(), connected), 1u) << first.err();
	EXPECT_FALSE(has(first.err(), lost)) << first.err();
	EXPECT_EQ(mqtt_retained(port_, "ombrix/attic/availability"), "online");
	if (!same_host) {
		EXPECT_TRUE(has(first.err(), "another ombrixd claims zone attic (claim ombrixd-attic-beta")) << first.err();
	}
}

INSTANTIATE_TEST_SUITE_P(Zone, MqttZone, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "same_host" : "other_host"; });

TEST_F(MqttLink, TwoDaemonsStartedTogetherSettleOnOne)
{
	start_broker();
	DaemonRun a, b;
	start_rivals(a, b, "OFF\n");
	auto settled = [&] { return one_holds(a, b); };
	EXPECT_TRUE(wait_for(settled, online_deadline)) << a.err() << b.err();
	std::this_thread::sleep_for(hold_back_settle);
	EXPECT_TRUE(settled()) << a.err() << b.err();
}

// One that holds back has left the plug OFF: it says so, and stops cleanly.
TEST_F(MqttLink, ADaemonThatHoldsBackShowsItsPlugOffAndStopsCleanly)
{
	start_broker();
	DaemonRun first, second;
	first.host(host_named("alpha"));
	second.host(host_named("beta"));
	first.put("status", "OFF\n");
	first.start(args({}), false);
	ASSERT_TRUE(online(first, 1, online_deadline)) << first.err();
	second.put("status", "OFF\n");
	second.start(args({}), false);
	EXPECT_TRUE(wait_for([&] { return has(second.out(), "heater=OFF rule=duplicate-zone"); }, online_deadline))
		<< second.out() << second.err();
	second.signal(SIGTERM);
	EXPECT_EQ(second.wait_exit(stop_deadline), 0) << second.err();
	EXPECT_FALSE(has(second.err(), "cannot switch the heater OFF: another")) << second.err();
}

// Two daemons that would both heat: one drives the plug, steadily, for
// longer than the bound; when it stops, the other takes the zone over.
TEST_F(MqttLink, TwoHeatingDaemonsKeepThePlugSteadyAndTheOtherTakesOverOnceTheFirstIsGone)
{
	start_broker();
	subscribe(plug_topic);
	feeder_ = std::make_unique<Feeder>(port_, "15");
	DaemonRun a, b;
	start_rivals(a, b, "ON\n");
	auto settled = [&] { return one_holds(a, b); };
	ASSERT_TRUE(wait_for(settled, online_deadline)) << a.err() << b.err();
	ASSERT_TRUE(plug_got("ON", switch_deadline)) << sub_->lines();
	size_t steady_from = seen_;
	std::this_thread::sleep_for(zone_back_deadline);
	EXPECT_TRUE(settled()) << a.err() << b.err();
	std::string steady = sub_->lines().substr(steady_from);
	EXPECT_FALSE(has(steady, "OFF")) << steady;
	EXPECT_GE(count(steady, "ON"), 10u) << steady;  // sent every period
	DaemonRun &first = has(a.out(), "rule=duplicate-zone") ? b : a;
	DaemonRun &other = &first == &a ? b : a;
	first.signal(SIGTERM);
	EXPECT_EQ(first.wait_exit(stop_deadline), 0) << first.err();
	EXPECT_TRUE(plug_got("OFF", 1s)) << sub_->lines();
	EXPECT_TRUE(plug_got("ON", zone_back_deadline)) << other.err() << sub_->lines();
	EXPECT_TRUE(logs(other, "rule duplicate-zone cleared", 2s)) << other.err();
}

// --- who may publish ---------------------------------------------------------

// The ACL that the MQTT page shows, as it stands there.
std::string shown_acl()
{
	std::string page = read_file(MQTT_DOC_PATH);
	size_t from = page.find("# /etc/mosquitto/acl\n");
	size_t to = page.find("```", from);
	return from == std::string::npos || to == std::string::npos ? "" : page.substr(from, to - from);
}

// A broker under the ACL that the MQTT page shows, with its users and a
// tester that watches everything and may write only its own topics, and
// a stranger whom the ACL does not name.
void MqttLink::start_acl_broker()
{
	std::string acl = shown_acl();
	ASSERT_TRUE(has(acl, "user attic\n")) << acl;
	std::string passwd = dir_ + "/passwd";
	ASSERT_TRUE(make_password_file(passwd, "attic", "attic-secret"));
	ASSERT_TRUE(add_password(passwd, "hub", "hub-secret"));
	ASSERT_TRUE(add_password(passwd, "tester", "tester-secret"));
	ASSERT_TRUE(add_password(passwd, "stranger", "stranger-secret"));
	std::ofstream(dir_ + "/acl") << acl << "\nuser tester\ntopic read #\ntopic readwrite ombrix-test/#\n";
	Broker::Options opt;
	opt.password_file = passwd;
	opt.acl_file = dir_ + "/acl";
	start_broker(opt);
}

void MqttLink::start_attic(DaemonRun &run, const char *command)
{
	run.put("sensor", "15\n");
	run.put("status", command);
	run.put("password", "attic-secret\n");
	run.start({"--mqtt", url(), "--mqtt-user", "attic", "--mqtt-password-file", "/tmp/password", "--period", "1",
	           "--zone", "attic", "--sensor", "file:/tmp/sensor", "--heater", "mqtt:cmnd/attic-plug/POWER"},
	          false);
}

// The hub's thermostat card sets the zone; no one else does.
TEST_F(MqttLink, UnderTheShownAclTheHubSetsTheZoneAndNoOneElse)
{
	start_acl_broker();
	Login tester{"tester", "tester-secret"};
	DaemonRun run;
	start_attic(run, "OFF\n");
	ASSERT_TRUE(retained_is("ombrix/attic/target", "72.0", online_deadline, tester)) << run.err();
	for (Login l : {Login{"tester", "tester-secret"}, Login{"stranger", "stranger-secret"}}) {
		mqtt_publish(port_, "ombrix/attic/target/set", "60", false, l);
		mqtt_publish(port_, "ombrix/attic/mode/set", "off", false, l);
	}
	std::this_thread::sleep_for(1s);
	EXPECT_TRUE(retained_is("ombrix/attic/target", "72.0", 0ms, tester)) << run.err();
	EXPECT_TRUE(retained_is("ombrix/attic/mode", "heat", 0ms, tester)) << run.err();
	mqtt_publish(port_, "ombrix/attic/target/set", "60", false, {"hub", "hub-secret"});
	mqtt_publish(port_, "ombrix/attic/mode/set", "off", false, {"hub", "hub-secret"});
	EXPECT_TRUE(retained_is("ombrix/attic/target", "60.0", 2s, tester)) << run.err();
	EXPECT_TRUE(retained_is("ombrix/attic/mode", "off", 2s, tester)) << run.err();
}

TEST_F(MqttLink, UnderTheShownAclAClaimFromAnotherUserChangesNothing)
{
	start_acl_broker();
	Login tester{"tester", "tester-secret"};
	Subscriber plug(port_, "cmnd/attic-plug/POWER", dir_ + "/plug", tester);
	DaemonRun run;
	start_attic(run, "ON\n");
	ASSERT_TRUE(wait_for([&] { return has(plug.lines(), "cmnd/attic-plug/POWER ON"); }, switch_deadline))
		<< run.err() << plug.lines();
	mqtt_publish(port_, "ombrix/attic/claim", "held a", false, {"hub", "hub-secret"});
	std::this_thread::sleep_for(hold_back_settle);
	EXPECT_FALSE(has(run.err(), "holds back")) << run.err();
	EXPECT_FALSE(has(plug.lines(), "OFF")) << plug.lines();
	EXPECT_FALSE(has(run.out(), "rule=duplicate-zone")) << run.out();
}

} // namespace
