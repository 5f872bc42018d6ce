// `qxvisor eval`: how well the library recognises a photo collection after
// learning a few pictures of each kind, measured through the public calls only.
#include "qxvisor/eval.h"

#include "qxvisor/cli.h"
#include "qxvisor/json_out.h"
#include "qxvisor/picture_tree.h"
#include "qxvisor/progress.h"

#include <qx_ai.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

struct KindScore {
    std::string code;
    int queries = 0;
    int top1 = 0;
    int top5 = 0;
    std::map<std::string, int> mistaken_for;  // kind ranked first instead -> times
};

}  // namespace

int rank_of(const std::string& codes, const std::string& code) {
    auto list = split_codes(codes);
    auto found = std::find(list.begin(), list.end(), code);
    return found == list.end() ? 0 : static_cast<int>(found - list.begin()) + 1;
}

double percent(int part, int whole) { return whole ? 100.0 * part / whole : 0.0; }

int learn_first_shots(const std::map<std::string, std::vector<std::string>>& train, int shots, Gallery* gallery,
                      bool json) {
    fs::remove_all("pic_data");
    int next_code = 1001;
    size_t copied = 0;
    for (const auto& [kind, pictures] : train) {
        const std::string code = std::to_string(next_code++);
        gallery->code_of_kind[kind] = code;
        gallery->kind_of_code[code] = kind;
        fs::create_directories("pic_data/" + code);
        for (int i = 0; i < shots && i < static_cast<int>(pictures.size()); ++i) {
            fs::copy_file(pictures[i], "pic_data/" + code + "/" + std::to_string(i) + fs::path(pictures[i]).extension().string(),
                          fs::copy_options::overwrite_existing);
            gallery->learned.insert(fs::weakly_canonical(pictures[i]).string());
            ++copied;
        }
    }
    start_library();
    int result = SaveScaleSetting(0, 0, 640, 480);  // recognition needs a crop area, even for files
    if (result == QX_OK)
        result = learn_following(copied, [json](size_t done, size_t all) {
            if (json) std::fprintf(stderr, "learning %zu %zu\n", done, all);
        });
    if (result != QX_OK) Close();
    return result;
}

int run_eval(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string shots_text = "5";
    take_option(args, "--shots", &shots_text);
    bool force = take_flag(args, "--force");
    // For the set-up page: progress lines on stderr, the result as JSON on stdout.
    bool json = take_flag(args, "--json");
    bool stream = take_flag(args, "--stream");
    int shots = 0;
    if (!parse_int(shots_text, &shots) || shots < 1) return fail("eval", "--shots needs a number, 1 or more");
    if (!force && (fs::exists("pic_data") || fs::exists("featurexYz.db")))
        return fail("eval", "this folder already holds learned data; run eval in an empty folder or add --force");
    if (stream) return run_eval_stream(args, shots, json);
    if (args.size() != 2) return fail("eval", "usage: qxvisor eval TRAIN_DIR TEST_DIR [--shots K] [--force] [--json]");

    auto train = picture_kinds(args[0]);
    auto test = picture_kinds(args[1]);
    if (train.empty()) return fail("eval", "no pictures under " + args[0]);

    Gallery gallery;
    int result = learn_first_shots(train, shots, &gallery, json);
    if (result != QX_OK) return fail("eval", "learning failed: " + result_text(result));
    std::map<std::string, KindScore> scores;
    for (const auto& [kind, code] : gallery.code_of_kind) scores[kind].code = code;
    std::map<std::string, std::string>& kind_of_code = gallery.kind_of_code;

    size_t total = 0;
    for (const auto& [kind, pictures] : test)
        if (scores.count(kind)) total += pictures.size();
    Progress progress("recognising", total);
    std::vector<double> times_ms;
    size_t done = 0;
    int top1 = 0, top5 = 0, queries = 0;
    long long codes_shown = 0;
    for (const auto& [kind, pictures] : test) {
        auto score = scores.find(kind);
        if (score == scores.end()) continue;
        for (const auto& picture : pictures) {
            char codes[QX_CODES_SIZE] = "";
            char session[QX_SESSION_SIZE] = "";
            auto start = std::chrono::steady_clock::now();
            int code = TestDetect(picture.c_str(), codes, session);
            times_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            progress.step(++done);
            if (json) std::fprintf(stderr, "progress %zu %zu\n", done, total);
            if (code != QX_OK) {
                std::fprintf(stderr, "%s: %s\n", picture.c_str(), result_text(code).c_str());
                continue;
            }
            int rank = rank_of(codes, score->second.code);
            ++queries;
            ++score->second.queries;
            if (rank == 1) ++top1, ++score->second.top1;
            auto first = split_codes(codes);
            codes_shown += static_cast<long long>(first.size());
            if (rank != 1 && !first.empty()) ++score->second.mistaken_for[kind_of_code.count(first[0]) ? kind_of_code[first[0]] : first[0]];
            if (rank >= 1 && rank <= 5) ++top5, ++score->second.top5;
        }
    }
    Close();
    if (json) {
        std::vector<std::string> kinds;
        for (const auto& [kind, score] : scores) {
            if (score.queries == 0) continue;
            std::vector<std::string> mistakes;
            for (const auto& [other, times] : score.mistaken_for)
                mistakes.push_back(JsonObject().add("kind", other).add("times", times).text());
            kinds.push_back(JsonObject().add("kind", kind).add("code", score.code).add("queries", score.queries)
                                .add("top1", percent(score.top1, score.queries)).add("top5", percent(score.top5, score.queries))
                                .add_raw("mistaken_for", json_array(mistakes)).text());
        }
        std::fprintf(out, "%s\n", JsonObject().add("shots", shots).add("queries", queries).add("top1", percent(top1, queries))
                                     .add("top5", percent(top5, queries)).add_raw("kinds", json_array(kinds)).text().c_str());
        return queries > 0 ? 0 : fail("eval", "no test picture of a learned kind under " + args[1]);
    }

    std::fprintf(out, "%-28s %6s %7s %7s %7s\n", "kind", "code", "queries", "top-1", "top-5");
    for (const auto& [kind, score] : scores) {
        if (score.queries == 0) continue;
        std::fprintf(out, "%-28s %6s %7d %6.1f%% %6.1f%%\n", kind.c_str(), score.code.c_str(), score.queries,
                    percent(score.top1, score.queries), percent(score.top5, score.queries));
    }
    double median = 0;
    if (!times_ms.empty()) {
        std::nth_element(times_ms.begin(), times_ms.begin() + times_ms.size() / 2, times_ms.end());
        median = times_ms[times_ms.size() / 2];
    }
    std::fprintf(out, "\nlearned %d picture(s) per kind, %zu kinds; %d queries\n", shots, scores.size(), queries);
    std::fprintf(out, "top-1 %.1f%%  top-5 %.1f%%  %.2f codes shown on average  median %.1f ms per recognition\n",
                percent(top1, queries), percent(top5, queries), queries ? double(codes_shown) / queries : 0.0, median);
    return queries > 0 ? 0 : fail("eval", "no test picture of a learned kind under " + args[1]);
}
