#include "support/ini.h"

#include "support/tools.h"

namespace mINI {

namespace {

const char* const kWhitespace = " \t\n\r\f\v";

// Replaces every `from` by `to`, resuming after the inserted text.
void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

void INIStringUtil::trim(std::string& text) {
    size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(kWhitespace);
    text = text.substr(first, last - first + 1);
}

INIParser::PDataType INIParser::parseLine(std::string line, T_ParseValues& parseData) {
    parseData.first.clear();
    parseData.second.clear();
    INIStringUtil::trim(line);
    if (line.empty()) return PDataType::PDATA_NONE;
    if (line[0] == ';') return PDataType::PDATA_COMMENT;
    if (line[0] == '[') {
        size_t comment = line.find(';');
        if (comment != std::string::npos) line = line.substr(0, comment);
        size_t close = line.rfind(']');
        if (close != std::string::npos) {
            std::string section = line.substr(1, close - 1);
            INIStringUtil::trim(section);
            parseData.first = section;
            return PDataType::PDATA_SECTION;
        }
    }
    std::string work = line;
    replace_all(work, "\\=", "  ");
    size_t equals = work.find('=');
    if (equals == std::string::npos) return PDataType::PDATA_UNKNOWN;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    INIStringUtil::trim(key);
    replace_all(key, "\\=", "=");
    INIStringUtil::trim(value);
    parseData.first = key;
    parseData.second = value;
    return PDataType::PDATA_KEYVALUE;
}

INIReader::INIReader(const std::string& path) : path_(path) {}

bool INIReader::operator>>(INIStructure& data) {
    std::string content;
    if (!tool_read_small_file(path_, kIniFileLimit, content, why_)) return false;
    INIParser::parseText(content, data);
    return true;
}

void INIParser::parseText(const std::string& content, INIStructure& data) {
    if (content.empty()) return;

    std::vector<std::string> lines;
    std::string pending;
    pending.reserve(50);
    for (char c : content) {
        if (c == '\n') {
            lines.push_back(pending);
            pending.clear();
        } else if (c != '\0' && c != '\r') {
            pending += c;
        }
    }
    lines.push_back(pending);

    std::string section;
    bool in_section = false;
    INIParser::T_ParseValues parsed;
    for (const std::string& line : lines) {
        auto kind = INIParser::parseLine(line, parsed);
        if (kind == INIParser::PDataType::PDATA_SECTION) {
            section = parsed.first;
            in_section = true;
            data[section];
        } else if (kind == INIParser::PDataType::PDATA_KEYVALUE && in_section) {
            data[section][parsed.first] = parsed.second;
        }
    }
}

}  // namespace mINI
