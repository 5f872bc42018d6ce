// `qxvisor eval`: how well the library recognises a photo collection after
// learning a few pictures of each kind, measured through the public calls only.
#include "qxvisor/eval.h"

#include "qxvisor/cli.h"
#include "qxvisor/json_out.h"
#include "qxvisor/picture_tree.h"
#include "qxvisor/progress.h"
#include "support/timing.h"

#include <qx_ai.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

struct KindScore {
    std::string code;
    RankTally tally;
    std::map<std::string, int> mistaken_for;  // kind ranked first instead -> times
};

// One gallery's run over the test pictures.
struct GalleryRun {
    unsigned seed = 0;
    RankTally learned;    // pictures of the kinds taught
    RankTally unlearned;  // pictures of kinds never taught: an empty list turns them away
    std::map<std::string, KindScore> kinds;
    double median_ms = 0;
};

struct EvalOptions {
    std::string train_dir, test_dir;
    GalleryDraw draw;
    int galleries = 1;
    int leave_out = 0;
    bool json = false;
    std::string query_engine;  // QX_ENGINE's plan for the recognitions; "": the learning's
};

// The pictures of one kind to learn: the first by name, or a seeded draw.
std::vector<std::string> drawn(std::vector<std::string> pictures, int shots, std::mt19937* random) {
    if (random) std::shuffle(pictures.begin(), pictures.end(), *random);
    if (static_cast<int>(pictures.size()) > shots) pictures.resize(static_cast<size_t>(shots));
    return pictures;
}

}  // namespace

std::string tally_json(const RankTally& tally) {
    return JsonObject().add("queries", tally.queries).add("top1", tally.top1_percent()).add("top5", tally.top5_percent())
        .add("codes_shown", tally.mean_codes_shown()).text();
}

std::set<std::string> draw_kinds(const std::vector<std::string>& kinds, int count, unsigned seed) {
    std::vector<std::string> order = kinds;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    if (static_cast<int>(order.size()) > count) order.resize(static_cast<size_t>(std::max(count, 0)));
    return std::set<std::string>(order.begin(), order.end());
}

int learn_gallery(const std::map<std::string, std::vector<std::string>>& train, const GalleryDraw& draw,
                  Gallery* gallery, bool json) {
    fs::remove_all("pic_data");
    std::mt19937 random(draw.seed);
    int next_code = 1001;
    size_t copied = 0;
    for (const auto& [kind, pictures] : train) {
        const std::string code = std::to_string(next_code++);
        if (draw.unlearned.count(kind)) continue;
        gallery->code_of_kind[kind] = code;
        gallery->kind_of_code[code] = kind;
        fs::create_directories("pic_data/" + code);
        const std::vector<std::string> chosen = drawn(pictures, draw.shots, draw.random ? &random : nullptr);
        for (size_t i = 0; i < chosen.size(); ++i) {
            fs::copy_file(chosen[i], "pic_data/" + code + "/" + std::to_string(i) + fs::path(chosen[i]).extension().string(),
                          fs::copy_options::overwrite_existing);
            gallery->learned.insert(fs::weakly_canonical(chosen[i]).string());
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

namespace {

// Counts one recognition of a picture of `kind` into the run.
void score(GalleryRun* run, const Gallery& gallery, const std::string& kind, const std::string& codes) {
    auto taught = run->kinds.find(kind);
    if (taught == run->kinds.end()) {
        run->unlearned.count(codes, "");
        return;
    }
    KindScore& kind_score = taught->second;
    run->learned.count(codes, kind_score.code);
    const int rank = kind_score.tally.count(codes, kind_score.code);
    const std::vector<std::string> list = split_codes(codes);
    if (rank != 1 && !list.empty()) {
        auto other = gallery.kind_of_code.find(list[0]);
        ++kind_score.mistaken_for[other != gallery.kind_of_code.end() ? other->second : list[0]];
    }
}

// Starts the library again on the engine `plan` names, as a store learned on
// one scale is used on another; the learning's engine is chosen again after.
int switch_engine(const std::string& plan) {
    const char* learning = std::getenv("QX_ENGINE");
    const std::string restore = learning ? learning : "";
    Close();
    setenv("QX_ENGINE", plan.c_str(), 1);
    const int result = start_library();
    if (learning)
        setenv("QX_ENGINE", restore.c_str(), 1);
    else
        unsetenv("QX_ENGINE");
    return result;
}

// Learns one gallery, recognises every test picture, closes the library.
int run_gallery(const EvalOptions& options, const std::map<std::string, std::vector<std::string>>& train,
                const std::map<std::string, std::vector<std::string>>& test, const GalleryDraw& draw, GalleryRun* run) {
    Gallery gallery;
    int result = learn_gallery(train, draw, &gallery, options.json);
    if (result != QX_OK) return result;
    if (!options.query_engine.empty() && (result = switch_engine(options.query_engine)) != QX_OK) {
        Close();
        return result;
    }
    run->seed = draw.seed;
    for (const auto& [kind, code] : gallery.code_of_kind) run->kinds[kind].code = code;
    size_t total = 0;
    for (const auto& [kind, pictures] : test) total += pictures.size();
    Progress progress("recognising", total);
    std::vector<double> times_ms;
    size_t done = 0;
    for (const auto& [kind, pictures] : test) {
        for (const auto& picture : pictures) {
            char codes[QX_CODES_SIZE] = "";
            char session[QX_SESSION_SIZE] = "";
            auto start = std::chrono::steady_clock::now();
            int code = TestDetect(picture.c_str(), codes, session);
            times_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            progress.step(++done);
            if (options.json) std::fprintf(stderr, "progress %zu %zu\n", done, total);
            if (code != QX_OK) {
                std::fprintf(stderr, "%s: %s\n", picture.c_str(), result_text(code).c_str());
                continue;
            }
            score(run, gallery, kind, codes);
        }
    }
    Close();
    run->median_ms = median(times_ms);
    return QX_OK;
}

std::string unlearned_json(const RankTally& tally) {
    return JsonObject().add("queries", tally.queries).add("turned_away", tally.empty_percent())
        .add("codes_shown", tally.mean_codes_shown()).text();
}

std::string spread_json(const Spread& spread) {
    return JsonObject().add("mean", spread.mean).add("sd", spread.sd).add("min", spread.min).add("max", spread.max).text();
}

// One run as JSON: the set-up page reads top1, top5 and kinds.
std::string run_json(const EvalOptions& options, const GalleryRun& run) {
    std::vector<std::string> kinds;
    for (const auto& [kind, score] : run.kinds) {
        if (score.tally.queries == 0) continue;
        std::vector<std::string> mistakes;
        for (const auto& [other, times] : score.mistaken_for)
            mistakes.push_back(JsonObject().add("kind", other).add("times", times).text());
        kinds.push_back(JsonObject().add("kind", kind).add("code", score.code).add("queries", score.tally.queries)
                            .add("top1", score.tally.top1_percent()).add("top5", score.tally.top5_percent())
                            .add_raw("mistaken_for", json_array(mistakes)).text());
    }
    JsonObject json;
    json.add("shots", options.draw.shots);
    if (options.draw.random) json.add("seed", static_cast<long long>(run.seed));
    json.add("queries", run.learned.queries).add("top1", run.learned.top1_percent())
        .add("top5", run.learned.top5_percent()).add("codes_shown", run.learned.mean_codes_shown())
        .add("median_ms", run.median_ms);
    if (run.unlearned.queries > 0) json.add_raw("unlearned", unlearned_json(run.unlearned));
    return json.add_raw("kinds", json_array(kinds)).text();
}

// A figure of every run, for its mean and spread.
template <typename Figure>
Spread spread_over(const std::vector<GalleryRun>& runs, Figure figure) {
    std::vector<double> values;
    for (const GalleryRun& run : runs) values.push_back(figure(run));
    return spread_of(values);
}

struct Figures {
    Spread top1, top5, codes_shown, median_ms, turned_away;
};

Figures figures_of(const std::vector<GalleryRun>& runs) {
    Figures figures;
    figures.top1 = spread_over(runs, [](const GalleryRun& r) { return r.learned.top1_percent(); });
    figures.top5 = spread_over(runs, [](const GalleryRun& r) { return r.learned.top5_percent(); });
    figures.codes_shown = spread_over(runs, [](const GalleryRun& r) { return r.learned.mean_codes_shown(); });
    figures.median_ms = spread_over(runs, [](const GalleryRun& r) { return r.median_ms; });
    figures.turned_away = spread_over(runs, [](const GalleryRun& r) { return r.unlearned.empty_percent(); });
    return figures;
}

std::string galleries_json(const EvalOptions& options, const std::vector<GalleryRun>& runs) {
    const Figures figures = figures_of(runs);
    std::vector<std::string> each;
    RankTally unlearned;
    for (const GalleryRun& run : runs) {
        JsonObject one;
        one.add("seed", static_cast<long long>(run.seed)).add_raw("learned", tally_json(run.learned));
        if (run.unlearned.queries > 0) one.add_raw("unlearned", unlearned_json(run.unlearned));
        each.push_back(one.add("median_ms", run.median_ms).text());
        unlearned.add(run.unlearned);
    }
    JsonObject spread;
    spread.add_raw("top1", spread_json(figures.top1)).add_raw("top5", spread_json(figures.top5))
        .add_raw("codes_shown", spread_json(figures.codes_shown)).add_raw("median_ms", spread_json(figures.median_ms));
    if (unlearned.queries > 0) spread.add_raw("turned_away", spread_json(figures.turned_away));
    return JsonObject().add("shots", options.draw.shots).add("galleries", options.galleries)
        .add("queries", runs.front().learned.queries).add("top1", figures.top1.mean).add("top5", figures.top5.mean)
        .add("codes_shown", figures.codes_shown.mean).add("median_ms", figures.median_ms.mean)
        .add_raw("spread", spread.text()).add_raw("runs", json_array(each)).text();
}

void print_unlearned(const RankTally& unlearned) {
    if (unlearned.queries == 0) return;
    std::fprintf(out, "pictures of kinds not learned: %d, %.1f%% turned away (no code offered), %.2f codes shown on average\n",
                 unlearned.queries, unlearned.empty_percent(), unlearned.mean_codes_shown());
}

// Learned kinds with test pictures: a test tree may hold fewer kinds than were learned.
int kinds_queried(const GalleryRun& run) {
    return static_cast<int>(std::count_if(run.kinds.begin(), run.kinds.end(),
                                          [](const auto& kind) { return kind.second.tally.queries > 0; }));
}

void print_run(const EvalOptions& options, const GalleryRun& run) {
    std::fprintf(out, "%-28s %6s %7s %7s %7s\n", "kind", "code", "queries", "top-1", "top-5");
    for (const auto& [kind, score] : run.kinds) {
        if (score.tally.queries == 0) continue;
        std::fprintf(out, "%-28s %6s %7d %6.1f%% %6.1f%%\n", kind.c_str(), score.code.c_str(), score.tally.queries,
                     score.tally.top1_percent(), score.tally.top5_percent());
    }
    std::fprintf(out, "\nlearned %d picture(s) per kind%s, %zu kinds; %d queries of %d kinds\n", options.draw.shots,
                 options.draw.random ? (", drawn with seed " + std::to_string(run.seed)).c_str() : "",
                 run.kinds.size(), run.learned.queries, kinds_queried(run));
    std::fprintf(out, "top-1 %.1f%%  top-5 %.1f%%  %.2f codes shown on average  median %.1f ms per recognition\n",
                 run.learned.top1_percent(), run.learned.top5_percent(), run.learned.mean_codes_shown(), run.median_ms);
    print_unlearned(run.unlearned);
}

void print_spread(const char* what, const Spread& spread, const char* unit) {
    std::fprintf(out, "%-12s mean %6.2f%s  sd %5.2f  range %.2f to %.2f\n", what, spread.mean, unit, spread.sd, spread.min,
                 spread.max);
}

void print_galleries(const EvalOptions& options, const std::vector<GalleryRun>& runs) {
    for (const GalleryRun& run : runs) {
        std::fprintf(out, "gallery seed %u: top-1 %.1f%%  top-5 %.1f%%  %.2f codes shown  median %.1f ms", run.seed,
                     run.learned.top1_percent(), run.learned.top5_percent(), run.learned.mean_codes_shown(),
                     run.median_ms);
        if (run.unlearned.queries > 0) std::fprintf(out, "  unlearned turned away %.1f%%", run.unlearned.empty_percent());
        std::fprintf(out, "\n");
    }
    const Figures figures = figures_of(runs);
    std::fprintf(out, "\n%d galleries of %d picture(s) per kind, %zu kinds; %d queries of %d kinds each\n",
                 options.galleries, options.draw.shots, runs.front().kinds.size(), runs.front().learned.queries,
                 kinds_queried(runs.front()));
    print_spread("top-1", figures.top1, " %");
    print_spread("top-5", figures.top5, " %");
    print_spread("codes shown", figures.codes_shown, "");
    print_spread("median ms", figures.median_ms, "");
    if (runs.front().unlearned.queries > 0) print_spread("turned away", figures.turned_away, " %");
}

// The options after TRAIN_DIR and TEST_DIR; "" when they are sound, else why not.
std::string take_eval_options(std::vector<std::string>& args, EvalOptions* options) {
    std::string text;
    if (take_option(args, "--galleries", &text) &&
        (!parse_int(text, &options->galleries) || options->galleries < 1 || options->galleries > 1000))
        return "--galleries needs a number of draws, 1 to 1000";
    if (take_option(args, "--leave-out", &text) && (!parse_int(text, &options->leave_out) || options->leave_out < 0))
        return "--leave-out needs a number of kinds, 0 or more";
    if (take_option(args, "--query-engine", &options->query_engine) && options->query_engine != "fp32" &&
        options->query_engine != "int8" && options->query_engine != "opencv")
        return "--query-engine needs fp32, int8 or opencv";
    if (options->galleries > 1) options->draw.random = true;  // seeds S..S+N-1, S 1 unless given
    if (args.size() != 2)
        return "usage: qxvisor eval TRAIN_DIR TEST_DIR [--shots K] [--seed S] [--galleries N] [--leave-out N] "
               "[--query-engine PLAN] [--force] [--json]";
    options->train_dir = args[0];
    options->test_dir = args[1];
    return "";
}

// The kinds a gallery may leave out: those with test pictures to measure.
std::vector<std::string> measurable_kinds(const std::map<std::string, std::vector<std::string>>& train,
                                          const std::map<std::string, std::vector<std::string>>& test) {
    std::vector<std::string> kinds;
    for (const auto& [kind, pictures] : train)
        if (test.count(kind)) kinds.push_back(kind);
    return kinds;
}

int run_fixed(std::vector<std::string> args, EvalOptions options) {
    const std::string problem = take_eval_options(args, &options);
    if (!problem.empty()) return fail("eval", problem);
    auto train = picture_kinds(options.train_dir);
    auto test = picture_kinds(options.test_dir);
    if (train.empty()) return fail("eval", "no pictures under " + options.train_dir);
    std::vector<GalleryRun> runs(static_cast<size_t>(options.galleries));
    for (int g = 0; g < options.galleries; ++g) {
        GalleryDraw draw = options.draw;
        draw.seed = options.draw.seed + static_cast<unsigned>(g);
        draw.unlearned = draw_kinds(measurable_kinds(train, test), options.leave_out, draw.seed);
        int result = run_gallery(options, train, test, draw, &runs[static_cast<size_t>(g)]);
        if (result != QX_OK) return fail("eval", "learning failed: " + result_text(result));
    }
    if (runs.front().learned.queries == 0) return fail("eval", "no test picture of a learned kind under " + options.test_dir);
    if (options.galleries > 1 && options.json) std::fprintf(out, "%s\n", galleries_json(options, runs).c_str());
    if (options.galleries > 1 && !options.json) print_galleries(options, runs);
    if (options.galleries == 1 && options.json) std::fprintf(out, "%s\n", run_json(options, runs.front()).c_str());
    if (options.galleries == 1 && !options.json) print_run(options, runs.front());
    return 0;
}

}  // namespace

int run_eval(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string shots_text = "5", seed_text;
    take_option(args, "--shots", &shots_text);
    EvalOptions options;
    options.draw.random = take_option(args, "--seed", &seed_text);
    bool force = take_flag(args, "--force");
    // For the set-up page: progress lines on stderr, the result as JSON on stdout.
    options.json = take_flag(args, "--json");
    bool stream = take_flag(args, "--stream");
    if (!parse_int(shots_text, &options.draw.shots) || options.draw.shots < 1)
        return fail("eval", "--shots needs a number, 1 or more");
    int seed = 1;
    if (options.draw.random && !parse_int(seed_text, &seed)) return fail("eval", "--seed needs a number");
    options.draw.seed = static_cast<unsigned>(seed);
    if (!force && (fs::exists("pic_data") || fs::exists("featurexYz.db")))
        return fail("eval", "this folder already holds learned data; run eval in an empty folder or add --force");
    if (stream) return run_eval_stream(args, options.draw, options.json);
    return run_fixed(args, options);
}
