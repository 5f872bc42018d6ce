#include "api/store_recompute.h"

#include "api/pic_data.h"
#include "api/recognition.h"
#include "engine/libclsretri.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/feature_producer.h"
#include "store/store_file.h"
#include "support/log.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using Pictures = std::map<std::string, std::vector<std::string>>;

// The pictures of every product, newest first (by time of writing, then name).
Pictures pictures_by_code() {
    std::map<std::string, std::vector<std::pair<timespec, std::string>>> dated;
    for (const PIC_DATA_ENTRY& entry : pic_data_entries()) {
        struct stat status;
        if (lstat(entry.path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            dated[entry.code].push_back({status.st_mtim, entry.path});
    }
    Pictures pictures;
    for (auto& [code, files] : dated) {
        std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
            if (a.first.tv_sec != b.first.tv_sec) return a.first.tv_sec > b.first.tv_sec;
            if (a.first.tv_nsec != b.first.tv_nsec) return a.first.tv_nsec > b.first.tv_nsec;
            return a.second > b.second;
        });
        for (auto& file : files) pictures[code].push_back(std::move(file.second));
    }
    return pictures;
}

// A consistent copy of `work` under a new name "data-aside-YYYYMMDD-HHMMSS"
// (with "-N" when that is taken): an earlier aside copy is never overwritten.
std::string keep_aside(const std::string& work) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (int n = 1; n < 100; ++n) {
        const std::string name = "data-aside-" + std::string(stamp) + (n > 1 ? "-" + std::to_string(n) : "");
        const std::string path = tool_get_dll_path() + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) break;
        close(fd);
        if (db_snapshot_file(work, path)) return name;
        std::remove(path.c_str());
        break;
    }
    throw std::runtime_error("no aside copy of the store could be written");
}

// The feature text the engine makes of a picture file; false when the file
// is no picture. An engine failure ends the whole recompute, as it ends
// folder learning: taking every sample aside because of it would empty the store.
bool feature_of_picture(const std::string& path, std::string& text) {
    const cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
    if (picture.empty()) {
        logger->info("picture {} cannot be read, no sample is made from it", path);
        return false;
    }
    std::vector<float> scores;
    float feature[CLSRETRI_FEATURE_SIZE] = {0};
    if (detect_squeezenet(picture, scores, feature) != 0) throw std::runtime_error("the engine failed on " + path);
    text = tool_feature_text(feature, CLSRETRI_FEATURE_SIZE);
    return true;
}

// Gives the newest samples of one product the features of its newest
// pictures. False when cancelled.
bool recompute_code(CppSQLite3DB& db, const DB_CODE_SAMPLES& samples, const std::vector<std::string>& pictures,
                    const RECOMPUTE_HOOKS& hooks, RECOMPUTE_RESULT& result) {
    CppSQLite3Buffer sql;
    size_t next = 0;
    for (const std::string& path : pictures) {
        if (next == samples.ids.size()) break;
        if (hooks.cancelled && hooks.cancelled()) return false;
        std::string feature;
        if (!feature_of_picture(path, feature)) continue;
        db_replace_feature(db, samples.ids[next], feature);
        db.execDML(sql.format("insert into temp.recomputed(id) values (%lld);", samples.ids[next]));
        ++next;
        ++result.recomputed;
        if (hooks.done) ++*hooks.done;
    }
    return true;
}

}  // namespace

namespace {

Recomputed recompute_in_place(const std::string& work, const CLSRETRI_PRODUCER& engine, const RECOMPUTE_HOOKS& hooks,
                              RECOMPUTE_RESULT& result) {
    const Pictures pictures = pictures_by_code();
    CppSQLite3DB db;
    db.open(work.c_str());
    // Uncommitted until the end: a cancel or a failure leaves the copy as it was.
    db.execDML("begin immediate;");
    db.execDML("create temp table recomputed(id integer primary key);");
    for (const DB_CODE_SAMPLES& samples : db_live_samples_by_code(db)) {
        const auto found = pictures.find(samples.code);
        if (found != pictures.end() && !recompute_code(db, samples, found->second, hooks, result))
            return Recomputed::kCancelled;
    }
    result.kept_aside = db_withdraw_rows(db, "id not in (select id from temp.recomputed)");
    db_write_producer(db, engine.model, engine.precision);
    db.execDML("commit;");
    db.close();
    return Recomputed::kDone;
}

}  // namespace

Recomputed recompute_store(const std::string& work, const CLSRETRI_PRODUCER& engine, const RECOMPUTE_HOOKS& hooks,
                           RECOMPUTE_RESULT& result) {
    result = RECOMPUTE_RESULT();
    result.aside_copy = keep_aside(work);
    // The aside copy is only worth keeping beside a store that no longer holds
    // what it holds: a cancelled or failed run leaves the store as it was.
    Recomputed outcome = Recomputed::kCancelled;
    try {
        outcome = recompute_in_place(work, engine, hooks, result);
    } catch (...) {
        std::remove((tool_get_dll_path() + result.aside_copy).c_str());
        throw;
    }
    if (outcome == Recomputed::kCancelled) std::remove((tool_get_dll_path() + result.aside_copy).c_str());
    return outcome;
}
