#pragma once
// Matching: the ranked product codes for a recognition's feature.
//
// Two pieces. The ranking (MatchRanking) is the rule alone: it takes the
// learned samples nearest first, each with its code and similarity, and makes
// the list; it knows nothing of SQLite or the index. db_compare_feature_faiss
// fetches those samples (index search, stored vectors, codes from the file)
// and feeds them to it, only as many as the list needs.
#include <string>
#include <vector>

struct DB_STORE;

// Code slots a match result has.
constexpr int DB_RESULT_SLOTS = 10;
// Values in a feature buffer, the widest feature text the store reads. The
// library's features fill the first 160; the rest stays zero.
constexpr int DB_FEATURE_VALUES = 720;

// Distinct codes a list holds at most: what a host sized for the list of the
// six nearest samples can show.
constexpr int MATCH_LIST_CODES = 6;
// Samples whose codes are read first: the six nearest made the whole list
// before it was filled, and most lists are complete with them.
constexpr int MATCH_FIRST_READ = 6;
// dev.ini's searchK: how many nearest samples a match may look at before it
// stops with a list shorter than MATCH_LIST_CODES.
constexpr int SEARCH_K_MIN = 6;
constexpr int SEARCH_K_MAX = 100;
constexpr int SEARCH_K_DEFAULT = 100;

// The one range check of searchK, for dev.ini and for the match itself: a
// value beyond the range is held to its nearer end.
int search_k_clamped(long long value);

struct DB_COMPARE_IN {
    std::vector<float> scores;                // class scores; matching does not read them
    float feature[DB_FEATURE_VALUES] = {};    // query feature, zero beyond its 160 values
    int result_count = DB_RESULT_SLOTS;
};

struct DB_COMPARE_OUT {
    std::string* codes = nullptr;  // DB_RESULT_SLOTS strings owned by the caller, empty on entry
    bool top_confident = false;    // nearest sample more than 0.9 similar
};

// The ranking rule. A code's rank is the rank of its nearest sample whose
// similarity exceeds the threshold (strictly); the order is the distance
// order alone, the similarity only filters. A repeated code is listed once,
// at its first place. The nearest sample more than 0.9 similar flags the
// answer as confident, whether or not it passes the threshold.
class MatchRanking {
public:
    explicit MatchRanking(float filter_score, int wanted = MATCH_LIST_CODES);
    // The next nearest sample; `code` is empty when its row is gone (never
    // listed). Returns true once the list holds `wanted` codes: looking
    // further cannot change it.
    bool take(const std::string& code, float similarity);
    bool full() const { return static_cast<int>(codes_.size()) >= wanted_; }
    const std::vector<std::string>& codes() const { return codes_; }
    bool top_confident() const { return top_confident_; }
    int taken() const { return taken_; }

private:
    float filter_score_;
    int wanted_;
    int taken_ = 0;
    bool top_confident_ = false;
    std::vector<std::string> codes_;
};

// Matching, the body of the recognition's worker thread: the list into
// out->codes (first slots, distinct codes) and the confident flag. Never throws; a database failure is logged and leaves every
// slot empty. Always returns 0.
int db_compare_feature_faiss(DB_STORE* context, DB_COMPARE_IN* in, DB_COMPARE_OUT* out);
// Later repetitions of a code (neither empty nor "0") become "0".
void tools_string_deduplication(std::string* codes, int n);
