#pragma once
// The feature text read the way the library always read it (strtok_r and
// strtod, narrowed to float), as the yardstick of the faster reader.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline std::vector<float> strtod_feature_values(std::string text, int capacity) {
    std::vector<float> values(static_cast<size_t>(capacity), 0.0f);
    int n = 0;
    char* save = nullptr;
    for (char* piece = strtok_r(&text[0], ",", &save); piece && n < capacity; piece = strtok_r(nullptr, ",", &save))
        values[static_cast<size_t>(n++)] = static_cast<float>(std::strtod(piece, nullptr));
    return values;
}

// Same floats bit for bit (NaN included, -0 and +0 told apart).
inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}
