#include "number.h"

#include <cfloat>
#include <charconv>
#include <cmath>

#include "text.h"

namespace {

// The number at the start of text; *end is where it stops.  from_chars
// reads decimals alone, whatever the locale.
bool leading_number(std::string_view text, double *out, const char **end)
{
	auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
	*end = stop;
	return ec == std::errc();
}

} // namespace

bool parse_written_number(std::string_view text, double *out)
{
	double v;
	const char *end;
	if (!leading_number(text, &v, &end) || end != text.data() + text.size() || !std::isfinite(v))
		return false;
	*out = v;
	return true;
}

bool parse_number(std::string_view text, double *out)
{
	std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
	bool plain = !digits.empty() && digits.find_first_not_of("0123456789.") == std::string_view::npos &&
	             digits.find_first_of("0123456789") != std::string_view::npos;
	return plain && text.size() <= number_len_max && parse_written_number(text, out);
}

bool parse_plain_number(const char *text, float *value, const char **why)
{
	std::string_view number = trim(text);
	double v;
	const char *end;
	if (!leading_number(number, &v, &end)) {
		*why = "no number";
		return false;
	}
	// Checked as a double: one beyond a float's range does not convert.
	if (!std::isfinite(v) || std::fabs(v) > FLT_MAX) {
		*why = "not a finite number";
		return false;
	}
	if (end != number.data() + number.size()) {
		*why = "more than a number";
		return false;
	}
	*value = static_cast<float>(v);
	return true;
}
