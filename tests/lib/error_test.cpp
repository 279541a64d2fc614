#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "ombrix.h"

namespace {

const std::string wackadoodle =
	"You submitted some kind of wackadoodle error code. What's up with you?";

TEST(Error, EveryCodeHasItsSentence)
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
	};
	for (int code = 0; code < 8; code++)
		EXPECT_EQ(catalogue[code].first, code);
	for (const auto &[code, text] : catalogue) {
		EXPECT_EQ(ombrix_error_to_msg(code), text);
		EXPECT_EQ(ombrix_error_to_msg(code), ombrix_error_to_msg(code));
	}
}

TEST(Error, AnyOtherValueHasTheCatchAll)
{
	for (int code : {8, -1, 100, INT_MAX, INT_MIN})
		EXPECT_EQ(ombrix_error_to_msg(code), wackadoodle) << code;
}

} // namespace
