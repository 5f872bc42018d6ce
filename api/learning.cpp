// Folder learning: forget everything, then learn every picture of pic_data.
#include "qx_ai.h"

#include "api/context.h"
#include "api/guard.h"
#include "api/recognition.h"
#include "api/tool_status.h"
#include "store/database.h"
#include "support/log.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace {

// Entry paths must fit the 128-byte path buffer the folder's naming rule was made for.
constexpr size_t kPathLimit = 128;
constexpr size_t kFlatCodeLimit = 15;

enum class Learned { kSkipped, kStored, kEngineFailed };

Learned learn_picture(DB_STAGED_STORE& store, const std::string& path, const std::string& code) {
    cv::Mat picture = path.size() < kPathLimit ? cv::imread(path, cv::IMREAD_COLOR) : cv::Mat();
    if (picture.empty()) {
        logger->info("cv::imread failed\n");
        return Learned::kSkipped;
    }
    std::vector<float> scores;
    float feature[160] = {0};
    std::clock_t t1 = std::clock();
    if (detect_squeezenet(picture, scores, feature) != 0) {
        logger->info("folder learning stopped: the engine failed on {}", path);
        return Learned::kEngineFailed;
    }
    std::clock_t t2 = std::clock();
    logger->info("category elapsed {}ms\n", static_cast<double>(t2 - t1) * 1000.0 / CLOCKS_PER_SEC);
    std::string text = tool_feature_text(feature, 160);
    DB_COMMODITY commodity;
    commodity.code = code;
    commodity.feature = text.c_str();
    store.add(&commodity);
    tool_status_picture_learned();
    return Learned::kStored;
}

bool is_folder(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The picture store keeps one folder per product (pic_data/<code>/<ms>.jpg):
// every picture in it is learned under the folder's name.
Learned learn_product_folder(DB_STAGED_STORE& store, const std::string& folder, const std::string& code) {
    std::vector<std::string> entries;
    tools_get_files(folder, entries);
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) {
        if (is_folder(entry)) continue;
        if (learn_picture(store, entry, code) == Learned::kEngineFailed) return Learned::kEngineFailed;
    }
    return Learned::kStored;
}

}  // namespace

// Clears the refusal of recognitions on every way out of a run.
struct LearningRun {
    LearningRun() { params->importing = true; }
    ~LearningRun() { params->importing = false; }
    LearningRun(const LearningRun&) = delete;
    LearningRun& operator=(const LearningRun&) = delete;
};

int LearnFromPicData() {
    return qx_gated("LearnFromPicData", QX_ERR_DETECT_FAILED, QxAccess::kRebuild, [] {
        if (!params) return QX_ERR_NOT_READY;
        LearningRun run;
        tool_status_learning_started();
        try {
            // The run fills a new store beside the live one, which it replaces
            // in one rename only when every picture is learned: a failed or
            // killed run leaves the previous store and index as they were.
            DB_STAGED_STORE store;
            const std::string folder = tool_get_dll_path() + "pic_data";
            std::vector<std::string> entries;
            tools_get_files(folder, entries);
            for (const std::string& entry : entries) {
                std::string name = entry.substr(folder.size() + 1);
                Learned learned;
                if (name != "." && name != ".." && is_folder(entry)) {
                    learned = tool_code_is_safe_folder(name) ? learn_product_folder(store, entry, name)
                                                             : Learned::kSkipped;
                } else {
                    learned = learn_picture(store, entry, name.substr(0, std::min(name.find('\\'), kFlatCodeLimit)));
                }
                if (learned == Learned::kEngineFailed) return QX_ERR_DETECT_FAILED;
            }
            store.install(params);
        } catch (const CppSQLite3Exception& e) {
            logger->info("folder learning failed on the database, the previous data is kept: {}", e.errorMessage());
            return QX_ERR_DETECT_FAILED;
        }
        return QX_OK;
    });
}
