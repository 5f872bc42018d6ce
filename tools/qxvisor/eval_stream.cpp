// `qxvisor eval --stream`: what a shop lives through. The library starts from
// a few pictures per kind, then every weighing is recognised and confirmed
// with its true kind through SetFeedBack, so the store learns as it would at
// the till; at the end the learned store is measured on pictures it never saw.
#include "qxvisor/cli.h"
#include "qxvisor/eval.h"
#include "qxvisor/json_out.h"
#include "qxvisor/picture_tree.h"
#include "qxvisor/progress.h"

#include <qx_ai.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Live learned samples in the store of the current folder.
long long stored_samples() {
    sqlite3* db = nullptr;
    long long count = -1;
    if (sqlite3_open_v2("featurexYz.db", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "select count(*) from feature_code where coalesce(deleted, 0) = 0", -1, &query,
                               nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW)
            count = sqlite3_column_int64(query, 0);
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return count;
}

struct Weighing {
    std::string picture;
    std::string code;
};

// Every picture of a learned kind under `root`, except those learned at the start.
std::vector<Weighing> weighings_of(const std::string& root, const Gallery& gallery) {
    std::vector<Weighing> all;
    for (const auto& [kind, pictures] : picture_kinds(root)) {
        auto code = gallery.code_of_kind.find(kind);
        if (code == gallery.code_of_kind.end()) continue;
        for (const auto& picture : pictures)
            if (!gallery.learned.count(fs::weakly_canonical(picture).string())) all.push_back({picture, code->second});
    }
    return all;
}

// Recognises one picture into `codes` (QX_CODES_SIZE bytes).
int recognise(const Weighing& weighing, char* codes, char* session) {
    codes[0] = '\0';
    return TestDetect(weighing.picture.c_str(), codes, session);
}

}  // namespace

int eval_stream(const StreamOptions& options, StreamResult* result, std::string* problem,
                const std::function<void(size_t, size_t)>& progress) {
    auto train = picture_kinds(options.train_dir);
    if (train.empty()) {
        *problem = "no pictures under " + options.train_dir;
        return QX_ERR_ARGUMENT;
    }
    Gallery gallery;
    int status = learn_gallery(train, options.draw, &gallery, options.learning_lines);
    if (status != QX_OK) {
        *problem = "learning failed";
        return status;
    }
    std::vector<Weighing> stream = weighings_of(options.stream_dir, gallery);
    std::shuffle(stream.begin(), stream.end(), std::mt19937(options.draw.seed));
    std::vector<Weighing> heldout;
    if (!options.heldout_dir.empty()) heldout = weighings_of(options.heldout_dir, gallery);
    const size_t total = stream.size() + heldout.size();
    result->heldout_pictures = heldout.size();
    result->samples_at_start = stored_samples();

    StreamPoint block;
    size_t done = 0;
    for (const Weighing& weighing : stream) {
        char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE] = "";
        status = recognise(weighing, codes, session);
        if (status == QX_OK) {
            // Confirmed as a cashier would: a hit exactly when the first code was right.
            unsigned char hit = rank_of(codes, weighing.code) == 1 ? 1 : 0;
            status = SetFeedBack(weighing.code.c_str(), session, hit, "");
        }
        if (status != QX_OK) {
            Close();
            *problem = weighing.picture;
            return status;
        }
        result->stream.count(codes, weighing.code);
        block.tally.count(codes, weighing.code);
        ++done;
        if (block.tally.queries == options.block || done == stream.size()) {
            block.weighings = static_cast<int>(done);
            block.samples = stored_samples();
            result->curve.push_back(block);
            block = StreamPoint();
        }
        if (progress) progress(done, total);
    }
    result->samples_at_end = stored_samples();
    for (const Weighing& weighing : heldout) {
        char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE] = "";
        status = recognise(weighing, codes, session);
        if (status != QX_OK) {
            Close();
            *problem = weighing.picture;
            return status;
        }
        result->heldout.count(codes, weighing.code);
        if (progress) progress(++done, total);
    }
    Close();
    return QX_OK;
}

std::string stream_csv(const StreamResult& result) {
    std::ostringstream csv;
    csv << "weighings,block_queries,block_top1,block_top5,block_codes_shown,samples\n";
    char line[160];
    for (const StreamPoint& point : result.curve) {
        std::snprintf(line, sizeof line, "%d,%d,%.1f,%.1f,%.2f,%lld\n", point.weighings, point.tally.queries,
                      point.tally.top1_percent(), point.tally.top5_percent(), point.tally.mean_codes_shown(),
                      point.samples);
        csv << line;
    }
    return csv.str();
}

namespace {

// One point of the curve; `index` counts the blocks from 1.
std::string point_json(const StreamPoint& point, size_t index) {
    return JsonObject().add("block", static_cast<long long>(index)).add("weighings", point.weighings)
        .add("top1", point.tally.top1_percent()).add("top5", point.tally.top5_percent())
        .add("codes_shown", point.tally.mean_codes_shown()).add("samples", point.samples).text();
}

void print_tally(const char* what, const RankTally& tally) {
    std::fprintf(out, "%s: %d weighings, top-1 %.1f%%  top-5 %.1f%%, %.2f codes shown on average\n", what,
                 tally.queries, tally.top1_percent(), tally.top5_percent(), tally.mean_codes_shown());
}

}  // namespace

int run_eval_stream(std::vector<std::string> args, const GalleryDraw& draw, bool json) {
    StreamOptions options;
    options.draw = draw;
    std::string text, csv_path;
    take_option(args, "--heldout", &options.heldout_dir);
    take_option(args, "--csv", &csv_path);
    if (take_option(args, "--block", &text) && (!parse_int(text, &options.block) || options.block < 1))
        return fail("eval", "--block needs a number of weighings, 1 or more");
    if (take_option(args, "--galleries", &text) || take_option(args, "--leave-out", &text))
        return fail("eval", "--galleries and --leave-out are for the fixed gallery, not --stream");
    if (args.size() != 2)
        return fail("eval", "usage: qxvisor eval TRAIN_DIR STREAM_DIR --stream [--heldout DIR] [--shots K] "
                            "[--block N] [--seed S] [--csv FILE] [--force] [--json]");
    options.train_dir = args[0];
    options.stream_dir = args[1];
    options.learning_lines = json;

    std::unique_ptr<Progress> bar;
    StreamResult result;
    std::string problem;
    size_t shown_blocks = 0;
    int status = eval_stream(options, &result, &problem, [&](size_t done, size_t total) {
        if (!bar) bar.reset(new Progress("weighing", total));
        bar->step(done);
        if (!json) return;
        // Each block as it closes, so that the set-up page draws the curve while it grows.
        for (size_t block = shown_blocks; block < result.curve.size(); ++block)
            std::fprintf(stderr, "block %s\n", point_json(result.curve[block], block + 1).c_str());
        shown_blocks = result.curve.size();
        // The held-out pictures come last and are recognised, not weighed.
        const size_t weighings = total - result.heldout_pictures;
        if (done > weighings)
            std::fprintf(stderr, "heldout %zu %zu\n", done - weighings, result.heldout_pictures);
        else
            std::fprintf(stderr, "progress %zu %zu\n", done, weighings);
    });
    bar.reset();
    if (status != QX_OK) return fail("eval", problem + ": " + result_text(status));
    if (!csv_path.empty()) std::ofstream(csv_path) << stream_csv(result);
    if (json) {
        std::vector<std::string> curve;
        for (size_t block = 0; block < result.curve.size(); ++block)
            curve.push_back(point_json(result.curve[block], block + 1));
        std::fprintf(out, "%s\n", JsonObject().add("shots", options.draw.shots).add_raw("stream", tally_json(result.stream))
                                     .add_raw("heldout", tally_json(result.heldout)).add_raw("curve", json_array(curve))
                                     .add("samples_at_start", result.samples_at_start)
                                     .add("samples_at_end", result.samples_at_end).text().c_str());
        return result.stream.queries > 0 ? 0 : fail("eval", "no picture of a learned kind under " + args[1]);
    }
    std::fprintf(out, "%10s %7s %7s %7s %7s %8s\n", "weighings", "block", "top-1", "top-5", "shown", "samples");
    for (const StreamPoint& point : result.curve)
        std::fprintf(out, "%10d %7d %6.1f%% %6.1f%% %7.2f %8lld\n", point.weighings, point.tally.queries,
                     point.tally.top1_percent(), point.tally.top5_percent(), point.tally.mean_codes_shown(),
                     point.samples);
    std::fprintf(out, "\nstarted from %d picture(s) per kind, %lld samples; %lld samples at the end\n", options.draw.shots,
                 result.samples_at_start, result.samples_at_end);
    print_tally("stream", result.stream);
    if (!options.heldout_dir.empty()) print_tally("held out, no feedback", result.heldout);
    return result.stream.queries > 0 ? 0 : fail("eval", "no picture of a learned kind under " + args[1]);
}
