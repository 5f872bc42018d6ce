#pragma once
// The arithmetic of the accuracy runs, apart from the library: the ranked
// codes a recognition answers, tallied into top-1, top-5 and codes shown, and
// the mean and spread of a figure over several galleries.
#include <string>
#include <vector>

// Splits "1001,1002," into its codes.
std::vector<std::string> split_codes(const std::string& text);
// Rank (1-based) of `code` in a codes text ("1001,1002,"), 0 when absent.
int rank_of(const std::string& codes, const std::string& code);
double percent(long long part, long long whole);

// What a run of recognitions scored. Every run of `qxvisor eval` (the fixed
// gallery, its kinds, the stream, its blocks, the held-out pictures) counts
// through count(), so the figures of all of them mean the same.
struct RankTally {
    int queries = 0;
    int top1 = 0;
    int top5 = 0;
    int empty = 0;              // recognitions that offered no code at all
    long long codes_shown = 0;  // codes offered, summed over the queries

    // One recognition: the codes text it answered and the right code (empty
    // for a picture of a kind that was never learned). Returns the rank.
    int count(const std::string& codes, const std::string& truth);
    void add(const RankTally& other);
    double top1_percent() const { return percent(top1, queries); }
    double top5_percent() const { return percent(top5, queries); }
    double empty_percent() const { return percent(empty, queries); }
    double mean_codes_shown() const { return queries ? static_cast<double>(codes_shown) / queries : 0.0; }
};

// A figure measured once per gallery.
struct Spread {
    double mean = 0;
    double sd = 0;  // sample standard deviation; 0 for a single value
    double min = 0;
    double max = 0;
};
Spread spread_of(const std::vector<double>& values);
