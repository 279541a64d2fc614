// What arrives on the bus, parsed: a sensor's readings and a plug's report
// of itself.  Pure functions of the message's text, so that they are
// tested and fuzzed without a broker.
#include "bus.h"

#include <cctype>
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>
#include <strings.h>

#include "kit/number.h"
#include "kit/text.h"

namespace {

bool same_word(std::string_view a, const std::string &b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// ON or OFF in the plug's words, or in the common ones.
bool word_state(std::string_view text, const std::string &on, const std::string &off, bool *is_on)
{
	static const std::string on_word = "ON", off_word = "OFF";
	if (same_word(text, on) || same_word(text, on_word))
		*is_on = true;
	else if (same_word(text, off) || same_word(text, off_word))
		*is_on = false;
	else
		return false;
	return true;
}

// The node at a dotted path in doc, or nullptr.
const nlohmann::json *at_path(const nlohmann::json &doc, std::string_view path)
{
	const nlohmann::json *node = &doc;
	for (;;) {
		size_t dot = path.find('.');
		auto it = node->is_object() ? node->find(path.substr(0, dot)) : node->end();
		if (it == node->end())
			return nullptr;
		node = &*it;
		if (dot == std::string_view::npos)
			return node;
		path.remove_prefix(dot + 1);
	}
}

} // namespace

bool parse_sensor_payload(const char *text, const char *field, float *value, const char **why)
{
	if (!*field)
		return parse_plain_number(text, value, why);
	// The JSON parser would skip a byte-order mark; a payload that starts
	// with anything but the object is no reading.
	std::string_view s = trim(text);
	nlohmann::json doc;
	if (!s.empty() && s.front() == '{')
		doc = nlohmann::json::parse(s, nullptr, false);
	if (!doc.is_object()) {
		*why = "the mqtt payload is not a JSON object";
		return false;
	}
	const nlohmann::json *node = at_path(doc, field);
	if (!node) {
		*why = "the JSON payload lacks the --sensor-field";
		return false;
	}
	if (!node->is_number()) {
		*why = "the --sensor-field is not a number";
		return false;
	}
	*value = node->get<float>();
	if (!std::isfinite(*value)) {
		*why = "the --sensor-field is out of range";
		return false;
	}
	return true;
}

bool parse_heater_report(const char *text, const std::string &on, const std::string &off, bool *is_on)
{
	std::string_view s = trim(text);
	if (s.empty() || s.front() != '{')
		return word_state(s, on, off, is_on);
	nlohmann::json doc = nlohmann::json::parse(s, nullptr, false);
	if (!doc.is_object())
		return false;
	for (const char *key : {"state", "POWER"}) {
		auto it = doc.find(key);
		if (it == doc.end())
			continue;
		if (it->is_boolean()) {
			*is_on = it->get<bool>();
			return true;
		}
		if (it->is_string())
			return word_state(it->get_ref<const std::string &>(), on, off, is_on);
	}
	return false;
}
