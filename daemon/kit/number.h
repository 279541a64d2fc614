// Numbers as a person, a file, a command or the hub writes them.
#pragma once

#include <string_view>

// A finite decimal number that is the whole of text: an optional minus,
// digits with an optional point, an optional exponent.  No blanks, no
// hexadecimal, no inf or nan.  Returns false, leaving *out alone, for
// anything else.
bool parse_number(std::string_view text, double *out);

// The same, blanks and a newline around it allowed, in single precision as
// a reading is held: what a sensor file, a command or a payload holds.
// Returns true with *value set; false with *why a constant text.
bool parse_plain_number(const char *text, float *value, const char **why);
