#pragma once
// The accuracy runs of `qxvisor eval`: a fixed gallery (run_eval) and a shop's
// stream of confirmed weighings (eval_stream). Both talk to the library only
// through its public calls, in the current folder.
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

// Gives every kind of `train` a short numeric code (as a shop's product
// numbers would be), copies its first `shots` pictures into pic_data/<code>/,
// then Init, a crop area and LearnFromPicData. QX_OK, or the failing call's
// code with the library closed again.
// With `json`, progress lines "learning DONE ALL" go to stderr for the set-up page.
int learn_first_shots(const std::map<std::string, std::vector<std::string>>& train, int shots, Gallery* gallery,
                      bool json = false);
// Rank (1-based) of `code` in a codes text, 0 when absent.
int rank_of(const std::string& codes, const std::string& code);
double percent(int part, int whole);

struct StreamOptions {
    std::string train_dir;    // the first `shots` pictures of each kind are learned first
    std::string stream_dir;   // recognised and confirmed in a fixed random order
    std::string heldout_dir;  // measured at the end without feedback; empty: skipped
    int shots = 3;
    int block = 100;          // weighings per line of the curve
    unsigned seed = 1;        // the order of the stream
    bool learning_lines = false;  // learn_first_shots' progress lines, for the set-up page
};

// One block of the stream: its weighings and the state after it.
struct StreamPoint {
    int weighings = 0;  // confirmed so far
    int queries = 0;    // in this block
    int top1 = 0;
    int top5 = 0;
    double codes_shown = 0;     // mean list length in this block
    long long samples = 0;      // learned samples in the store after it
};

struct StreamTally {
    int queries = 0;
    int top1 = 0;
    int top5 = 0;
    long long codes_shown = 0;
    void count(int rank, size_t listed);
};

struct StreamResult {
    std::vector<StreamPoint> curve;
    StreamTally stream;
    StreamTally heldout;
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
// `qxvisor eval ... --stream`: args without --stream, --shots, --force and --json.
int run_eval_stream(std::vector<std::string> args, int shots, bool json);
