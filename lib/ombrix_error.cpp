// ombrix_error: the English sentence for each result code.

#include "ombrix.h"

#include <cstdint>

const char *ombrix_error_to_msg(int code)
{
	switch (static_cast<uint32_t>(code)) {
	case OMBRIX_OK:
		return "Everything is just fine.";
	case OMBRIX_ERR_FILE_OPEN:
		return "You tried to open a file but things did not go well.";
	case OMBRIX_ERR_FORK:
		return "Unable to fork a child process.";
	case OMBRIX_ERR_SETSID:
		return "Unable to set the session id.";
	case OMBRIX_ERR_TERM_SIGNAL:
		return "Received a termination signal; exiting.";
	case OMBRIX_ERR_KILL_SIGNAL:
		return "Received a kill signal; exiting.";
	case OMBRIX_ERR_UNEXPECTED:
		return "An unexptected condition has come up, exiting.";
	case OMBRIX_ERR_UNKNOWN_STATE:
		return "Encountered an unknown heater state!";
	default:
		return "You submitted some kind of wackadoodle error code. What's up with you?";
	}
}
