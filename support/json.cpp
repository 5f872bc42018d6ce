#include "support/json.h"

#include "support/log.h"
#include "support/tools.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>


#include <sys/stat.h>

#include <cmath>
#include <vector>

namespace {

// The deepest nesting of arrays and objects, brackets inside strings skipped.
// The iterative parser already keeps the stack safe; this keeps the document
// safe for the recursive code that walks it later (writers, comparisons).
bool nesting_within(const std::string& text, int limit) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// RapidJSON's default reading of a long significand with a large exponent
// can overflow to infinity without an error; such a number is nothing the
// library can use, and the writer cannot write it back.
bool numbers_finite(const rapidjson::Value& root) {
    std::vector<const rapidjson::Value*> pending = {&root};
    while (!pending.empty()) {
        const rapidjson::Value* value = pending.back();
        pending.pop_back();
        if (value->IsDouble() && !std::isfinite(value->GetDouble())) return false;
        if (value->IsArray()) {
            for (const auto& item : value->GetArray()) pending.push_back(&item);
        } else if (value->IsObject()) {
            for (const auto& member : value->GetObject()) pending.push_back(&member.value);
        }
    }
    return true;
}

}  // namespace

bool json_parse(const std::string& text, rapidjson::Document& document) {
    if (!nesting_within(text, kJsonMaxDepth)) {
        document.SetNull();
        return false;
    }
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (document.HasParseError() || !numbers_finite(document)) {
        document.SetNull();
        return false;
    }
    return true;
}

bool json_parse_file(const std::string& path, rapidjson::Document& document, bool* opened) {
    if (opened) *opened = false;
    document.SetNull();
    std::string content, why;
    if (!tool_read_small_file(path, kJsonFileLimit, content, why)) {
        struct stat status;
        const bool exists = stat(path.c_str(), &status) == 0;
        if (opened) *opened = exists;
        // A missing file is the normal case of a device never set up.
        if (exists) logger->info("{} refused: {}", path, why);
        return false;
    }
    if (opened) *opened = true;
    if (!json_parse(content, document)) {
        logger->info("{} is no readable JSON", path);
        return false;
    }
    return true;
}

std::string json_compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}
