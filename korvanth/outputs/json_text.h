// JSON as Korvanth writes it (maps.json, the live view's state and events),
// built with nlohmann-json. Text that is not valid UTF-8 (a file or project
// name in another encoding) is written with U+FFFD in place of each bad byte,
// so that every document is valid JSON whatever the names hold.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvanth {

using Json = nlohmann::ordered_json;  // members in the order they are set

// `value` as compact JSON text, bad UTF-8 replaced.
std::string jsonText(const Json& value);

// Text quoted as a JSON string, bad UTF-8 replaced.
std::string jsonString(const std::string& text);

// A number as the live view and maps.json give it: 9 significant digits, and
// null when it is not finite.
Json jsonNumber(double value);

}  // namespace korvanth
