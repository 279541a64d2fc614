// The target and mode a person sets on the board, on the real ombrixd and
// the real client: the board's command moves where a running zone's heater
// switches, a reload clears no latch, what was set outlives SIGKILL, two
// commands at once both keep theirs, and the start trusts the folder no
// further than it should and clears what a killed save left.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "blackbox.h"

using namespace blackbox;

namespace {

class Setting : public Daemon {
protected:
	// The state folder, as the daemon sees it in the private /tmp; the
	// board's command and a second run of the zone share that /tmp.
	static constexpr const char *state = "/tmp/state";

	// The board's command, as a person runs it: ombrixd --set-target or
	// --set-mode with the zone's options, which exits once it is kept.
	void set(const std::vector<std::string> &setting, int expect = 0)
	{
		DaemonRun board;
		board.share_tmp(run);
		std::vector<std::string> args = files({"--state-dir", state});
		args.insert(args.end(), setting.begin(), setting.end());
		board.start(args, false);
		ASSERT_EQ(board.wait_exit(stop_deadline), expect) << board.err();
	}

	std::string kept() const { return run.get("state/setpoint"); }

	// The same, then the reload the board's command asks of the zone.
	void set_and_reload(const std::vector<std::string> &setting)
	{
		set(setting);
		run.signal(SIGUSR1);
	}

	// A room at temp (°F), and a heater left OFF.
	void room(const char *temp)
	{
		run.put("sensor", temp);
		run.put("heater", off);
	}

	void SetUp() override
	{
		Daemon::SetUp();
		std::filesystem::create_directory(run.tmp() + "/state");
	}
};

TEST_F(Setting, TheBoardsCommandMovesWhereARunningZoneSwitches)
{
	room("66\n");
	run.start(files({"--state-dir", state}));
	ASSERT_TRUE(heater_is(on, client_deadline)) << context();
	set({"--set-target", "62"});
	EXPECT_FALSE(has(run.out(), "target=62.0")) << "kept, not yet taken";
	run.signal(SIGUSR1);
	EXPECT_TRUE(reports("reloaded: target 62.0 \u00b0F, set at run time; the zone's options say 72.0")) << context();
	EXPECT_TRUE(wait_for([&] { return run.get("temp") == "76.000000\n"; }, settle)) << "66 on a band 59 to 65";
	EXPECT_TRUE(heater_is(off, client_deadline)) << context();
	EXPECT_TRUE(prints("mode=heat target=62.0 temp=66.00 command=OFF heater=OFF rule=-\n")) << context();
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << context();
}

TEST_F(Setting, OffHoldsTheHeaterOffAndIsShownAsNoFault)
{
	start_on({"--state-dir", state});
	set_and_reload({"--set-mode", "off"});
	EXPECT_TRUE(heater_is(off, settle)) << context();
	EXPECT_TRUE(prints("mode=off target=72.0 temp=60.00 command=ON heater=OFF rule=-\n")) << context();
	set_and_reload({"--set-mode", "heat"});
	EXPECT_TRUE(heater_is(on, settle)) << context();
}

TEST_F(Setting, AReloadClearsNoLatchedRule)
{
	start_on({"--state-dir", state, "--max-on", "1"});
	EXPECT_TRUE(heater_is(off, settle)) << context();
	set_and_reload({"--set-target", "70"});
	EXPECT_TRUE(reports("reloaded: target 70.0")) << context();
	EXPECT_TRUE(prints("heater=OFF rule=max-on\n")) << context();
	std::this_thread::sleep_for(2s);
	EXPECT_EQ(run.get("heater"), off) << context();
}

TEST_F(Setting, ATargetSetOutlivesSigkillAndTheZonesFileStaysTheDefault)
{
	room("70\n");
	run.start(files({"--state-dir", state}), false);
	set_and_reload({"--set-target", "64"});
	ASSERT_TRUE(reports("reloaded: target 64.0")) << context();
	run.signal(SIGKILL);
	EXPECT_EQ(run.wait_exit(stop_deadline), 128 + SIGKILL);

	DaemonRun again;
	again.share_tmp(run);
	again.put("sensor", "70\n");
	again.put("heater", off);
	again.start(files({"--state-dir", state, "--target", "68"}), false);
	EXPECT_TRUE(wait_for([&] { return has(again.err(), "target 64.0 \u00b0F, set at run time; the zone's options "
	                                                   "say 68.0; band 6.0; mode heat\n"); }, settle))
		<< again.err();
	EXPECT_TRUE(wait_for([&] { return again.get("temp") == "78.000000\n"; }, settle)) << again.get("temp");
}

TEST_F(Setting, ADamagedFileFallsBackToTheZonesOptionsInOneLine)
{
	room("70\n");
	std::ofstream(run.tmp() + "/state/setpoint") << "unit=F\ntarget=6";  // cut short
	run.start(files({"--state-dir", state}), false);
	EXPECT_TRUE(reports("setpoint not unit=, target= and mode= lines; the zone's options apply\n")) << context();
	EXPECT_TRUE(reports("target 72.0 \u00b0F, from the zone's options; band 6.0; mode heat\n")) << context();
	EXPECT_TRUE(wait_for([&] { return run.get("temp") == "70.000000\n"; }, settle));
}

TEST_F(Setting, WithoutAStateFolderTheStartSaysSoOnce)
{
	room("70\n");
	run.start(files(), false);
	EXPECT_TRUE(reports("a target or mode set now is lost at a restart\n")) << context();
	run.signal(SIGUSR1);
	EXPECT_TRUE(reports("reload: no state folder to read\n")) << context();
	EXPECT_EQ(count(run.err(), "lost at a restart"), 1u);
	run.signal(SIGTERM);
	EXPECT_EQ(run.wait_exit(stop_deadline), 0) << "SIGUSR1 ends nothing";
}

// A target and a mode set on the board at the same instant, as two people
// or two scripts do: each time, both are kept.
TEST_F(Setting, TwoCommandsAtOnceKeepBoth)
{
	for (int round = 0; round < 20; round++) {
		run.remove("state/setpoint");
		DaemonRun target, mode;
		target.share_tmp(run);
		mode.share_tmp(run);
		target.start(files({"--state-dir", state, "--set-target", "64"}), false);
		mode.start(files({"--state-dir", state, "--set-mode", "off"}), false);
		ASSERT_EQ(target.wait_exit(stop_deadline), 0) << target.err();
		ASSERT_EQ(mode.wait_exit(stop_deadline), 0) << mode.err();
		ASSERT_TRUE(has(kept(), "target=64\n") && has(kept(), "mode=off\n")) << "round " << round << ":\n" << kept();
	}
}

// What a save killed midway leaves in the folder is gone once the daemon
// has started, and what the daemon never makes stays.
TEST_F(Setting, TheStartRemovesWhatAKilledSaveLeft)
{
	room("70\n");
	for (const char *name : {"setpoint.Xy12Zw", "setpoint.0aB9cD", "setpoint.orig"})
		run.put(std::string("state/") + name, "unit=F\ntarget=6");
	run.start(files({"--state-dir", state}), false);
	EXPECT_TRUE(wait_for([&] { return run.get("state/setpoint.Xy12Zw").empty() && run.get("state/setpoint.0aB9cD").empty(); },
	                     settle)) << context();
	EXPECT_TRUE(reports("removed 2 unfinished setpoint.* file(s)")) << context();
	EXPECT_EQ(run.get("state/setpoint.orig"), "unit=F\ntarget=6");
}

// A link at the file's place is not followed, whatever it leads to: one
// line says so, and the zone's options apply.
TEST_F(Setting, ALinkInTheFilesPlaceIsRefusedInOneLine)
{
	room("70\n");
	run.put("elsewhere", "unit=F\ntarget=64\n");
	std::filesystem::create_symlink("/tmp/elsewhere", run.tmp() + "/state/setpoint");
	run.start(files({"--state-dir", state}), false);
	EXPECT_TRUE(reports("/tmp/state/setpoint not followed: a symbolic link; the zone's options apply\n")) << context();
	EXPECT_TRUE(reports("target 72.0 \u00b0F, from the zone's options")) << context();
	EXPECT_EQ(count(run.err(), "symbolic link"), 1u) << context();
}

} // namespace
