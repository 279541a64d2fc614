// A table of kinds, each a row with a name (before the colon in an
// option's value) and the argument after it, as --help names it (nullptr:
// none).
#pragma once

#include <string>
#include <string_view>

// The row of that name, or nullptr.
template <typename Row, size_t n>
const Row *find_row(const Row *const (&rows)[n], std::string_view name)
{
	for (const Row *r : rows)
		if (name == r->name)
			return r;
	return nullptr;
}

// Every row as --help shows it: "sim | hwmon:PATH | ...".
template <typename Row, size_t n>
std::string usage_of(const Row *const (&rows)[n])
{
	std::string usage;
	for (const Row *r : rows) {
		usage += usage.empty() ? "" : " | ";
		usage += r->arg ? std::string(r->name) + ":" + r->arg : r->name;
	}
	return usage;
}
