// Folder learning: forget everything, then learn every picture of pic_data.
#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
#include "api/pic_data.h"
#include "api/recognition.h"
#include "api/store_producer.h"
#include "api/tool_status.h"
#include "engine/libclsretri.h"
#include "store/database.h"
#include "support/log.h"
#include "support/timing.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace {

// Entry paths must fit the 128-byte path buffer the folder's naming rule was made for.
constexpr size_t kPathLimit = 128;

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
    float feature[CLSRETRI_FEATURE_SIZE] = {0};
    std::clock_t t1 = std::clock();
    if (detect_squeezenet(picture, scores, feature) != 0) {
        logger->info("folder learning stopped: the engine failed on {}", path);
        return Learned::kEngineFailed;
    }
    std::clock_t t2 = std::clock();
    logger->info("category elapsed {}ms\n", clock_elapsed_ms(t1, t2));
    std::string text = tool_feature_text(feature, CLSRETRI_FEATURE_SIZE);
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

// Folders whose pictures are not learned: the run still succeeds without
// them, so the log is where a technician finds why a product learned nothing.
void log_skipped(const std::vector<PIC_DATA_SKIPPED>& skipped) {
    const std::string base = tool_get_dll_path();
    for (const PIC_DATA_SKIPPED& folder : skipped) {
        const bool inside = folder.path.compare(0, base.size(), base) == 0;
        logger->info("folder learning skips {}/: {}", inside ? folder.path.substr(base.size()) : folder.path, folder.why);
    }
}

// Every picture of pic_data into `store`: flat "<code>\<name>" pictures and the
// picture store's "<code>/" folders. Stops at the first engine failure or cancel.
Learned learn_pic_data(DB_STAGED_STORE& store) {
    std::vector<PIC_DATA_SKIPPED> skipped;
    const std::vector<PIC_DATA_ENTRY> entries = pic_data_entries(&skipped);
    log_skipped(skipped);
    for (const PIC_DATA_ENTRY& entry : entries) {
        const Learned learned = learn_picture(store, entry.path, entry.code);
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
    producer_stamp(store);
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
