// Text as files, commands and messages hand it over.
#pragma once

#include <string_view>

// The blanks that may stand around a value: space, tab, CR, LF, VT, FF.
inline constexpr const char *blanks = " \t\r\n\v\f";

// text without the blanks at either end.
inline std::string_view trim(std::string_view text)
{
	size_t first = text.find_first_not_of(blanks);
	if (first == std::string_view::npos)
		return {};
	return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}
