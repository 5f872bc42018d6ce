#pragma once
// The accuracy runs of `qxvisor eval`: a fixed gallery (run_eval) and a shop's
// stream of confirmed weighings (eval_stream). Both talk to the library only
// through its public calls, in the current folder.
#include "qxvisor/ranking.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// What the library was taught at the start: kind <-> code, and which pictures.
struct Gallery {
    std::map<std::string, std::string> code_of_kind;
    std::map<std::string, std::string> kind_of_code;
    std::set<std::string> learned;  // canonical picture paths
};

// Which pictures of each kind are learned at the start.
struct GalleryDraw {
    int shots = 5;
    bool random = false;  // false: the first `shots` by name
    unsigned seed = 1;    // the draw, when random
    std::set<std::string> unlearned;  // kinds not taught at all
};

// Gives every kind of `train` a short numeric code (as a shop's product
// numbers would be; 1001 for the first kind by name, whether learned or not),
// copies the drawn pictures of each kind into pic_data/<code>/, then Init, a
// crop area and LearnFromPicData. QX_OK, or the failing call's code with the
// library closed again.
// With `json`, progress lines "learning DONE ALL" go to stderr for the set-up page.
int learn_gallery(const std::map<std::string, std::vector<std::string>>& train, const GalleryDraw& draw,
                  Gallery* gallery, bool json = false);
// A tally as JSON: queries, top1, top5 (percent), codes_shown (mean).
std::string tally_json(const RankTally& tally);
// `count` kinds of `kinds`, drawn with `seed`.
std::set<std::string> draw_kinds(const std::vector<std::string>& kinds, int count, unsigned seed);

struct StreamOptions {
    std::string train_dir;    // the pictures drawn of each kind are learned first
    std::string stream_dir;   // recognised and confirmed in a fixed random order
    std::string heldout_dir;  // measured at the end without feedback; empty: skipped
    GalleryDraw draw;         // its seed also orders the stream
    int block = 100;          // weighings per line of the curve
    bool learning_lines = false;  // learn_gallery's progress lines, for the set-up page
};

// One block of the stream: its weighings and the state after it.
struct StreamPoint {
    int weighings = 0;      // confirmed so far
    RankTally tally;        // this block's recognitions
    long long samples = 0;  // learned samples in the store after it
};

struct StreamResult {
    std::vector<StreamPoint> curve;
    RankTally stream;
    RankTally heldout;
    long long samples_at_start = 0;
    long long samples_at_end = 0;
    size_t heldout_pictures = 0;  // known before the first weighing, for the progress
};

// The stream run. `progress(done, total)` is called after each recognition,
// once the block it closes (if any) is in result->curve.
// QX_OK, or a library code with *problem saying what failed.
int eval_stream(const StreamOptions& options, StreamResult* result, std::string* problem,
                const std::function<void(size_t, size_t)>& progress = nullptr);
// The curve as CSV, one line per block.
std::string stream_csv(const StreamResult& result);
// `qxvisor eval ... --stream`: args without --stream, --shots, --seed, --force
// and --json.
int run_eval_stream(std::vector<std::string> args, const GalleryDraw& draw, bool json);
