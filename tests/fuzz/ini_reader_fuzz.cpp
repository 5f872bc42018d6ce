// dev.ini's reader against its rules written out plainly, byte by byte: the
// same sections, keys and values in the same order for any text. Every value
// read is also put through the whole-number reader settings use, against
// strtoll with its range.
#include "fuzz_kit.h"

#include "support/ini.h"
#include "support/numbers.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;
using Sections = std::vector<std::pair<std::string, Keys>>;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && blank(text[first])) ++first;
    while (last > first && blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Each backslash-equals pair becomes `with`, scanning on after it.
std::string unescaped(const std::string& text, const std::string& with) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '=') {
            out += with;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

template <typename T>
T& entry(std::vector<std::pair<std::string, T>>& list, const std::string& name) {
    const std::string key = lowered(trimmed(name));
    for (auto& item : list)
        if (item.first == key) return item.second;
    list.emplace_back(key, T());
    return list.back().second;
}

// One line: a section name into `section` (true), or a key and value.
enum class Line { kOther, kSection, kPair };
Line classify(std::string line, std::string& first, std::string& second) {
    line = trimmed(line);
    if (line.empty() || line[0] == ';') return Line::kOther;
    if (line[0] == '[') {
        line = line.substr(0, line.find(';'));
        const size_t close = line.rfind(']');
        if (close != std::string::npos) {
            first = trimmed(line.substr(1, close - 1));
            return Line::kSection;
        }
    }
    const size_t equals = unescaped(line, "  ").find('=');
    if (equals == std::string::npos) return Line::kOther;
    first = unescaped(trimmed(line.substr(0, equals)), "=");
    second = trimmed(line.substr(equals + 1));
    return Line::kPair;
}

Sections reference(const std::string& content) {
    Sections sections;
    if (content.empty()) return sections;
    std::vector<std::string> lines(1);
    for (char c : content) {
        if (c == '\n') lines.emplace_back();
        else if (c != '\0' && c != '\r') lines.back() += c;
    }
    std::string current;
    bool in_section = false;
    for (const std::string& line : lines) {
        std::string first, second;
        const Line kind = classify(line, first, second);
        if (kind == Line::kSection) {
            current = first;
            in_section = true;
            entry(sections, current);
        } else if (kind == Line::kPair && in_section) {
            entry(entry(sections, current), first) = second;
        }
    }
    return sections;
}

Sections held(const mINI::INIStructure& ini) {
    Sections sections;
    for (const auto& section : ini) {
        sections.emplace_back(section.first, Keys());
        for (const auto& key : section.second) sections.back().second.push_back(key);
    }
    return sections;
}

void check_number(const std::string& text) {
    int value = 0;
    const bool read = tool_read_int(text, &value);
    bool digits = !text.empty();
    size_t start = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (start == text.size()) digits = false;
    for (size_t i = start; i < text.size() && digits; ++i) digits = text[i] >= '0' && text[i] <= '9';
    errno = 0;
    const long long parsed = digits ? std::strtoll(text.c_str(), nullptr, 10) : 0;
    const bool fits = digits && errno == 0 && parsed >= INT_MIN && parsed <= INT_MAX;
    FUZZ_CHECK(read == fits, "whole-number reader on \"" + text + "\" disagrees with strtoll");
    FUZZ_CHECK(!read || value == parsed, "whole-number reader read another value of \"" + text + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    mINI::INIStructure ini;
    mINI::INIParser::parseText(content, ini);
    const Sections expected = reference(content);
    FUZZ_CHECK(held(ini) == expected, "sections, keys or values differ from the rules");
    for (const auto& section : expected)
        for (const auto& key : section.second) {
            // A lookup normalises as the reader did: the value is found again.
            FUZZ_CHECK(ini[section.first][key.first] == key.second, "a key read is not found by its own name");
            check_number(key.second);
        }
    return 0;
}
