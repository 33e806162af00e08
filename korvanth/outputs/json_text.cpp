#include "korvanth/outputs/json_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvanth {

std::string jsonText(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string jsonString(const std::string& text) { return jsonText(Json(text)); }

Json jsonNumber(double value) {
    if (!std::isfinite(value)) return nullptr;
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return std::strtod(text, nullptr);
}

}  // namespace korvanth
