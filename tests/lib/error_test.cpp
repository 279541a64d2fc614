// The library's catalogue of messages: each code has its own sentence, and
// anything else the catch-all, as callers and their logs rely on.
#include <climits>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ombrix.h"

namespace {

const std::string wackadoodle =
	"You submitted some kind of wackadoodle error code. What's up with you?";

TEST(Error, EachCodeHasItsSentenceAndAnyOtherTheCatchAll)
{
	const std::pair<int, std::string> catalogue[] = {
		{OMBRIX_OK, "Everything is just fine."},
		{OMBRIX_ERR_FILE_OPEN, "You tried to open a file but things did not go well."},
		{OMBRIX_ERR_FORK, "Unable to fork a child process."},
		{OMBRIX_ERR_SETSID, "Unable to set the session id."},
		{OMBRIX_ERR_TERM_SIGNAL, "Received a termination signal; exiting."},
		{OMBRIX_ERR_KILL_SIGNAL, "Received a kill signal; exiting."},
		{OMBRIX_ERR_UNEXPECTED, "An unexptected condition has come up, exiting."},
		{OMBRIX_ERR_UNKNOWN_STATE, "Encountered an unknown heater state!"},
		{OMBRIX_ERR_UNKNOWN_STATE + 1, wackadoodle},
		{-1, wackadoodle},
		{100, wackadoodle},
		{INT_MAX, wackadoodle},
		{INT_MIN, wackadoodle},
	};
	for (const auto &[code, text] : catalogue)
		EXPECT_EQ(ombrix_error_to_msg(code), text) << code;
}

} // namespace
