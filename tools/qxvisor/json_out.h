#pragma once
// JSON answers of the tool (the set-up page, eval --json).
#include <string>
#include <vector>

// JSON text of a string, quotes included.
std::string json_text(const std::string& value);

// A small JSON object written member by member.
class JsonObject {
public:
    JsonObject& add(const std::string& name, const std::string& value);
    JsonObject& add(const std::string& name, const char* value) { return add(name, std::string(value)); }
    JsonObject& add(const std::string& name, long long value);
    JsonObject& add(const std::string& name, int value) { return add(name, static_cast<long long>(value)); }
    JsonObject& add(const std::string& name, double value);
    JsonObject& add(const std::string& name, bool value);
    // `json` is already JSON (an object, an array, ...).
    JsonObject& add_raw(const std::string& name, const std::string& json);
    std::string text() const { return "{" + body_ + "}"; }

private:
    void key(const std::string& name);
    std::string body_;
};

std::string json_array(const std::vector<std::string>& json_items);

