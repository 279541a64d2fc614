// Numbers as a person, a file, a command or the hub writes them.
#pragma once

#include <cstddef>
#include <string_view>

// The longest number a person or the hub may give, in characters: more
// digits than a double holds are no setting.
inline constexpr size_t number_len_max = 32;

// A number as a person or the hub gives it: a plain decimal that is the
// whole of text, an optional minus, digits and a point ("21", "-3.5",
// "0.25").  No blanks, no exponent, no hexadecimal, no inf or nan, and no
// more than number_len_max characters.  Returns false, leaving *out alone,
// for anything else.
bool parse_number(std::string_view text, double *out);

// A number as this program writes it (printf's %.17g): a finite decimal
// that is the whole of text, with an exponent allowed.
bool parse_written_number(std::string_view text, double *out);

// What a sensor file, a command or a payload holds: a finite decimal,
// exponent allowed, blanks and a newline around it, in single precision
// as a reading is held.  Returns true with *value set; false with *why a
// constant text.
bool parse_plain_number(const char *text, float *value, const char **why);
