// Folder learning: forget everything, then learn every picture of pic_data.
#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
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

enum class Learned { kSkipped, kStored, kEngineFailed, kCancelled };

Learned learn_picture(DB_STAGED_STORE& store, const std::string& path, const std::string& code) {
    // Close waits for no more than the picture in the engine: the run is all
    // or nothing, so giving up leaves the previous store as it was.
    if (qx_lifecycle_waiting()) return Learned::kCancelled;
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
    // The new store becomes the index as it is: its row is the sample's label.
    logger->info("lastId is {}", commodity.id - 1);
    logger->info("cover label is {}", commodity.id - 1);
    logger->info("index size is {}", commodity.id);
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
        const Learned learned = learn_picture(store, entry, code);
        if (learned == Learned::kEngineFailed || learned == Learned::kCancelled) return learned;
    }
    return Learned::kStored;
}

// Every entry of pic_data into `store`: flat "<code>\<name>" pictures and the
// picture store's "<code>/" folders. Stops at the first engine failure or cancel.
Learned learn_pic_data(DB_STAGED_STORE& store) {
    const std::string folder = tool_get_dll_path() + "pic_data";
    std::vector<std::string> entries;
    tools_get_files(folder, entries);
    for (const std::string& entry : entries) {
        std::string name = entry.substr(folder.size() + 1);
        Learned learned;
        const bool folder_entry = name != "." && name != ".." && is_folder(entry);
        const std::string code = folder_entry ? name : name.substr(0, std::min(name.find('\\'), kFlatCodeLimit));
        if (const char* fault = tool_code_fault(code)) {
            logger->info("pic_data entry {} skipped: its product code is {}", name, fault);
            learned = Learned::kSkipped;
        } else if (folder_entry) {
            learned = tool_code_is_safe_folder(name) ? learn_product_folder(store, entry, name) : Learned::kSkipped;
        } else {
            learned = learn_picture(store, entry, code);
        }
        if (learned == Learned::kEngineFailed || learned == Learned::kCancelled) return learned;
    }
    return Learned::kStored;
}

// Puts the learned store in the live one's place, once the calls still using
// the old one are done, and logs it as clearing the old data and loading the new.
void install(DB_STAGED_STORE& store) {
    QxStoreSwap swap;
    // Records on their way belong to the store being replaced, not to this one.
    db_flush_records(params);
    struct stat status;
    const bool replaced = stat(params->db_path.c_str(), &status) == 0;
    const std::clock_t start = std::clock();
    store.install(params);
    if (replaced) logger->info("remove kvtfile successed\n");
    logger->info("idx init cost:{}", static_cast<long>(std::clock() - start));
}

}  // namespace

int LearnFromPicData() {
    return qx_gated("LearnFromPicData", QX_ERR_DETECT_FAILED, QxAccess::kRebuild, [] {
        tool_status_learning_started();
        try {
            // The run fills a new store beside the live one, which it replaces
            // in one rename only when every picture is learned: a failed,
            // cancelled or killed run leaves the previous store and index as they were.
            DB_STAGED_STORE store;
            const Learned learned = learn_pic_data(store);
            if (learned == Learned::kEngineFailed) return QX_ERR_DETECT_FAILED;
            if (learned == Learned::kCancelled) {
                logger->info("folder learning cancelled by Init or Close, the previous data is kept");
                return QX_ERR_NOT_READY;
            }
            install(store);
        } catch (const CppSQLite3Exception& e) {
            logger->info("folder learning failed on the database, the previous data is kept: {}", e.errorMessage());
            return QX_ERR_DETECT_FAILED;
        }
        return QX_OK;
    });
}
