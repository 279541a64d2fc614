// The files beside a zone's options that someone else may have planted: a
// FIFO, a device or a link where a password, a CA or the heater's file
// should be.  Nothing may hang, and nothing may be written through a link.
#include <filesystem>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "blackbox.h"

namespace fs = std::filesystem;

namespace {

using namespace blackbox;

// A file heater's OFF needs no broker: the broker's side files are never
// opened for it, and a FIFO there holds nothing up.
TEST_F(Daemon, SwitchOffOfAFileHeaterOpensNoBrokerFile)
{
	run.put("heater", on);
	ASSERT_EQ(mkfifo((run.tmp() + "/password").c_str(), 0600), 0);
	ASSERT_EQ(mkfifo((run.tmp() + "/ca").c_str(), 0600), 0);
	run.start({"--heater", "file:/tmp/heater", "--mqtt", "mqtts://broker", "--mqtt-password-file",
	           "/tmp/password", "--mqtt-ca", "/tmp/ca", "--switch-off"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
	EXPECT_EQ(run.get("heater"), off);
}

// A plug's run does need the password: a FIFO there fails the start at
// once, in one line.
TEST_F(Daemon, AFifoAsThePasswordFailsTheStartAtOnce)
{
	ASSERT_EQ(mkfifo((run.tmp() + "/password").c_str(), 0600), 0);
	run.start({"--heater", "mqtt:plug/set", "--mqtt", "mqtt://127.0.0.1:1", "--mqtt-password-file",
	           "/tmp/password"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 2) << context();
	EXPECT_EQ(count(run.err(), "\n"), 1u) << run.err();
	EXPECT_TRUE(has(run.err(), "--mqtt-password-file: not a regular file")) << run.err();
}

// A link planted at the heater's path would pass the OFF, or an ON, on to
// whatever it names: neither the zone nor its switch-off writes through it.
TEST_F(Daemon, NeitherTheZoneNorItsSwitchOffWritesThroughALinkAtTheHeater)
{
	run.put("other", "keep\n");
	fs::create_symlink("/tmp/other", run.tmp() + "/heater");
	run.start({"--heater", "file:/tmp/heater", "--switch-off"}, false);
	EXPECT_EQ(run.wait_exit(stop_deadline), 1) << context();
	EXPECT_TRUE(has(run.err(), "a symbolic link")) << run.err();
	DaemonRun zone;
	zone.share_tmp(run);
	zone.start(files(), false);
	EXPECT_EQ(zone.wait_exit(stop_deadline), 1) << zone.err();
	EXPECT_TRUE(has(zone.err(), "a symbolic link")) << zone.err();
	EXPECT_EQ(run.get("other"), "keep\n");
}

} // namespace
