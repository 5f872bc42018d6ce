#include "qxvisor/json_out.h"

#include <cmath>
#include <cstdio>

std::string json_text(const std::string& value) {
    std::string text = "\"";
    for (unsigned char c : value) {
        switch (c) {
        case '"': text += "\\\""; break;
        case '\\': text += "\\\\"; break;
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text += escaped;
            } else {
                text += static_cast<char>(c);
            }
        }
    }
    return text + "\"";
}

void JsonObject::key(const std::string& name) {
    if (!body_.empty()) body_ += ",";
    body_ += json_text(name) + ":";
}

JsonObject& JsonObject::add(const std::string& name, const std::string& value) {
    key(name);
    body_ += json_text(value);
    return *this;
}

JsonObject& JsonObject::add(const std::string& name, long long value) {
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(const std::string& name, double value) {
    key(name);
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", std::isfinite(value) ? value : 0.0);
    body_ += text;
    return *this;
}

JsonObject& JsonObject::add(const std::string& name, bool value) {
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::add_raw(const std::string& name, const std::string& json) {
    key(name);
    body_ += json;
    return *this;
}

std::string json_array(const std::vector<std::string>& json_items) {
    std::string text = "[";
    for (size_t i = 0; i < json_items.size(); ++i) text += (i ? "," : "") + json_items[i];
    return text + "]";
}
