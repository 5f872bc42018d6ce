#pragma once
// Reader for dev.ini: the whole file into a two-level map (section, key -> value),
// both levels case-insensitive for ASCII and kept in first-insertion order.
#include <cctype>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mINI {

namespace INIStringUtil {
// Removes leading and trailing space, \t, \n, \r, \f and \v in place.
void trim(std::string& text);
}  // namespace INIStringUtil

template <typename T>
class INIMap {
public:
    // Looks the key up after trimming and lower-casing it; a missing key is
    // appended with an empty value, so a lookup always succeeds.
    T& operator[](std::string key) {
        INIStringUtil::trim(key);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto found = index_.find(key);
        if (found != index_.end()) return entries_[found->second].second;
        index_.emplace(key, entries_.size());
        entries_.emplace_back(std::move(key), T());
        return entries_.back().second;
    }
    size_t size() const { return entries_.size(); }
    typename std::vector<std::pair<std::string, T>>::const_iterator begin() const { return entries_.begin(); }
    typename std::vector<std::pair<std::string, T>>::const_iterator end() const { return entries_.end(); }

private:
    std::vector<std::pair<std::string, T>> entries_;
    std::unordered_map<std::string, size_t> index_;
};

using INIStructure = INIMap<INIMap<std::string>>;

namespace INIParser {
enum class PDataType : char { PDATA_NONE, PDATA_COMMENT, PDATA_SECTION, PDATA_KEYVALUE, PDATA_UNKNOWN };
using T_ParseValues = std::pair<std::string, std::string>;
PDataType parseLine(std::string line, T_ParseValues& parseData);
// The whole text of an INI file into `data`, as INIReader reads a file.
void parseText(const std::string& content, INIStructure& data);
}  // namespace INIParser

class INIReader {
public:
    explicit INIReader(const std::string& path);
    // False (structure untouched) when the file could not be read: missing, no
    // regular file, or larger than kIniFileLimit; why() then says which.
    bool operator>>(INIStructure& data);
    const std::string& why() const { return why_; }

private:
    std::string path_;
    std::string why_;
};

// dev.ini holds a handful of lines; anything far larger is no settings file.
constexpr size_t kIniFileLimit = 1 << 20;

}  // namespace mINI
