#include "qxvisor/ranking.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>

std::vector<std::string> split_codes(const std::string& text) {
    std::vector<std::string> codes;
    std::stringstream stream(text);
    for (std::string code; std::getline(stream, code, ',');)
        if (!code.empty()) codes.push_back(code);
    return codes;
}

int rank_of(const std::string& codes, const std::string& code) {
    const std::vector<std::string> list = split_codes(codes);
    auto found = std::find(list.begin(), list.end(), code);
    return found == list.end() ? 0 : static_cast<int>(found - list.begin()) + 1;
}

double percent(long long part, long long whole) { return whole ? 100.0 * static_cast<double>(part) / whole : 0.0; }

int RankTally::count(const std::string& codes, const std::string& truth) {
    const size_t listed = split_codes(codes).size();
    const int rank = truth.empty() ? 0 : rank_of(codes, truth);
    ++queries;
    if (rank == 1) ++top1;
    if (rank >= 1 && rank <= 5) ++top5;
    if (listed == 0) ++empty;
    codes_shown += static_cast<long long>(listed);
    return rank;
}

void RankTally::add(const RankTally& other) {
    queries += other.queries;
    top1 += other.top1;
    top5 += other.top5;
    empty += other.empty;
    codes_shown += other.codes_shown;
}

Spread spread_of(const std::vector<double>& values) {
    Spread spread;
    if (values.empty()) return spread;
    const double n = static_cast<double>(values.size());
    spread.mean = std::accumulate(values.begin(), values.end(), 0.0) / n;
    double squares = 0;
    for (double value : values) squares += (value - spread.mean) * (value - spread.mean);
    spread.sd = values.size() > 1 ? std::sqrt(squares / (n - 1)) : 0.0;
    spread.min = *std::min_element(values.begin(), values.end());
    spread.max = *std::max_element(values.begin(), values.end());
    return spread;
}
