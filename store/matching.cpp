#include "store/matching.h"

#include "store/db_store.h"
#include "store/CppSQLite3.h"
#include "store/kept_connection.h"
#include "store/libhnsw.h"
#include "support/alg.h"
#include "support/log.h"
#include "support/timing.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

int search_k_clamped(long long value) {
    return static_cast<int>(std::min<long long>(std::max<long long>(value, SEARCH_K_MIN), SEARCH_K_MAX));
}

MatchRanking::MatchRanking(float filter_score, int wanted) : filter_score_(filter_score), wanted_(wanted) {}

bool MatchRanking::take(const std::string& code, float similarity) {
    if (full()) return true;
    if (taken_++ == 0 && static_cast<double>(similarity) > 0.9) top_confident_ = true;
    if (filter_score_ < similarity && !code.empty() && std::find(codes_.begin(), codes_.end(), code) == codes_.end())
        codes_.push_back(code);
    return full();
}

void tools_string_deduplication(std::string* codes, int n) {
    auto listed = [](const std::string& code) { return !code.empty() && code != "0"; };
    for (int i = 0; i < n; ++i) {
        if (!listed(codes[i])) continue;
        for (int j = i + 1; j < n; ++j)
            if (listed(codes[j]) && codes[j] == codes[i]) codes[j] = "0";
    }
}

namespace {

// As long as every other connection of the store waits for a held file.
constexpr int kMatchBusyMs = 5000;

struct Neighbour {
    float distance = 0.0f;
    int label = 0;
    const float* values = nullptr;  // the stored vector, as wide as the index; null when missing
};

// The `bound` samples nearest to `query`, nearest first, with their stored
// vectors: the index holds exactly the values the rows' feature texts were
// loaded from, so no text needs parsing. One hold of the store lock; the
// vectors are copied side by side into `vectors`, without an allocation each.
std::vector<Neighbour> nearest_samples(DB_STORE* context, const float* query, int bound, std::vector<float>& vectors,
                                       int& width) {
    std::vector<Neighbour> nearest;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!context->index) return nearest;
    libhnsw::Index& index = *context->index;
    width = index.dimension();
    const std::vector<std::pair<float, int>> hits = index.Search(query, bound);
    vectors.resize(hits.size() * static_cast<size_t>(width));
    for (size_t i = 0; i < hits.size(); ++i) {
        Neighbour neighbour;
        neighbour.distance = hits[i].first;
        neighbour.label = hits[i].second;
        if (const float* stored = index.StoredVector(hits[i].second)) {
            float* place = vectors.data() + i * static_cast<size_t>(width);
            std::copy(stored, stored + width, place);
            neighbour.values = place;
        }
        nearest.push_back(neighbour);
    }
    return nearest;
}

// Reads the codes of nearest[from, to) into `codes` (keyed by row id) in one
// statement: only the codes, and only for samples the list may still need.
void fetch_codes(CppSQLite3DB& db, const std::vector<Neighbour>& nearest, size_t from, size_t to,
                 std::unordered_map<int, std::string>& codes) {
    std::string ids;
    for (size_t i = from; i < to; ++i) {
        if (!ids.empty()) ids += ',';
        ids += std::to_string(static_cast<long long>(nearest[i].label) + 1);
    }
    CppSQLite3Buffer sql;
    CppSQLite3Query query = db.execQuery(sql.format("select id,code from feature_code where id in (%s);", ids.c_str()));
    for (; !query.eof(); query.nextRow()) {
        const char* code = query.getStringField(1, "");
        codes[query.getIntField(0, 0)] = code ? code : "";
    }
}

// The six nearest samples get two log lines each, as they always had; a day
// file of a busy scale would grow several times over if every sample the list
// looked at did.
constexpr size_t kLoggedHits = 6;

// One line for every sample looked at beyond the six nearest: how many, and
// the codes they added to the list.
void log_beyond_six(const MatchRanking& ranking, size_t listed_by_six, size_t found) {
    const size_t taken = static_cast<size_t>(ranking.taken());
    if (taken <= kLoggedHits) return;
    std::string added;
    const std::vector<std::string>& list = ranking.codes();
    for (size_t i = listed_by_six; i < list.size(); ++i) added += list[i] + ",";
    logger->info("res[{}..{}] of {} nearest samples: {} more codes {}", kLoggedHits, taken - 1, found,
                 list.size() - listed_by_six, added);
}

// The codes are read only where the index found samples: one statement, one
// read of the file, for most recognitions (a file without its feature table
// fails there and is logged as any failed match).
void compare_feature(DB_STORE* context, CppSQLite3DB& db, DB_COMPARE_IN* in, DB_COMPARE_OUT* out) {
    std::clock_t start = std::clock();
    std::vector<float> vectors;
    int width = 0;
    const std::vector<Neighbour> nearest =
        nearest_samples(context, in->feature, search_k_clamped(context->search_k), vectors, width);

    MatchRanking ranking(context->filter_score);
    std::unordered_map<int, std::string> codes;
    size_t fetched = 0;
    size_t listed_by_six = 0;
    for (size_t i = 0; i < nearest.size() && !ranking.full(); ++i) {
        if (i == fetched) {
            // The six nearest first (most lists end there), then twice as many each time.
            size_t batch = fetched == 0 ? MATCH_FIRST_READ : fetched;
            size_t to = std::min(nearest.size(), fetched + batch);
            fetch_codes(db, nearest, fetched, to, codes);
            fetched = to;
        }
        const Neighbour& hit = nearest[i];
        auto row = codes.find(hit.label + 1);
        // A sample whose row is gone counts as a zero vector: similarity 0.
        const std::string code = row != codes.end() ? row->second : std::string();
        float similarity =
            row != codes.end() && hit.values ? alg_calcul_similar(in->feature, hit.values, width) : 0.0f;
        if (i < kLoggedHits) {
            logger->info("res[{}]={} {}\n", i, hit.distance, hit.label);
            logger->info("{} is {}", code, similarity);
        }
        ranking.take(code, similarity);
        if (i == 0 && ranking.top_confident()) logger->info("第一个向量大于0.9的置信度 置换第一个商品代码");
        if (i + 1 == kLoggedHits) listed_by_six = ranking.codes().size();
    }

    const std::vector<std::string>& list = ranking.codes();
    for (size_t i = 0; i < list.size() && i < static_cast<size_t>(DB_RESULT_SLOTS); ++i) out->codes[i] = list[i];
    out->top_confident = ranking.top_confident();
    log_beyond_six(ranking, listed_by_six, nearest.size());
    logger->info("index time : elapsed {}ms\n", clock_elapsed_ms(start, std::clock()));
}

// The match's connection: the context's kept one where it has one.
void compare_feature(DB_STORE* context, DB_COMPARE_IN* in, DB_COMPARE_OUT* out) {
    if (!context->match_db) {
        CppSQLite3DB db;
        db.open(context->db_path.c_str());
        compare_feature(context, db, in, out);
        return;
    }
    KeptConnection::Lease lease(*context->match_db, context->db_path, kMatchBusyMs);
    compare_feature(context, lease.db(), in, out);
}

void clear_result(DB_COMPARE_OUT* out) {
    for (int i = 0; i < DB_RESULT_SLOTS; ++i) out->codes[i].clear();
    out->top_confident = false;
}

}  // namespace

int db_compare_feature_faiss(DB_STORE* context, DB_COMPARE_IN* in, DB_COMPARE_OUT* out) {
    if (!context || !in || !out || !out->codes) return 0;
    LogBatch lines;  // a dozen lines a match: one write
    // Runs as a thread body: nothing may escape it, or the process ends.
    try {
        compare_feature(context, in, out);
    } catch (const CppSQLite3Exception& e) {
        logger->info("db_compare_feature_faiss failed: {}", e.errorMessage());
        clear_result(out);
    } catch (const std::exception& e) {
        logger->info("db_compare_feature_faiss failed: {}", e.what());
        clear_result(out);
    } catch (...) {
        logger->info("db_compare_feature_faiss failed: unknown error");
        clear_result(out);
    }
    return 0;
}
