// Recognition calls: the tray picture (camera or file) through the engine, the
// matching and the recognition record.
#include "qx_ai.h"

#include "api/context.h"
#include "api/engine_handle.h"
#include "api/gate.h"
#include "api/recognition.h"
#include "camera/camhp.h"
#include "engine/libclsretri.h"
#include "store/database.h"
#include "support/alg.h"
#include "support/log.h"
#include "support/timing.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>

#include <cstring>
#include <ctime>
#include <utility>

namespace {

// Steps shared by both calls once a picture is in hand: engine, matching,
// session id, record. `engine_failure` is the call's code for an engine error.
int recognise(const cv::Mat& picture, const std::string& image_path, int engine_failure, char* codes_out,
              char* session_out, std::clock_t t0) {
    std::vector<float> scores;
    float feature[CLSRETRI_FEATURE_SIZE] = {0};
    std::clock_t t1 = std::clock();
    if (detect_squeezenet(picture, scores, feature) != 0) return engine_failure;
    // The engine's lines are on disk already; the rest of the call's go in one write.
    LogBatch lines;
    std::clock_t t2 = std::clock();
    logger->info("category elapsed {}ms\n", clock_elapsed_ms(t1, t2));

    DB_COMPARE_IN query{};
    query.scores = scores;
    std::memcpy(query.feature, feature, sizeof feature);
    query.result_count = DB_RESULT_SLOTS;
    std::string codes[DB_RESULT_SLOTS];
    DB_COMPARE_OUT result{};
    result.codes = codes;
    result.top_confident = false;
    params->matcher.run("db_compare_feature_faiss", [&] { db_compare_feature_faiss(params, &query, &result); });
    std::clock_t t3 = std::clock();

    std::string session = tool_get_session_id();
    char codes_text[QX_CODES_SIZE] = {0};
    tool_code_string_2_char_n(codes, DB_RESULT_SLOTS, codes_text, sizeof codes_text);

    DB_RECORD record;
    record.model_code = 0;
    record.score = 0.0f;
    record.time = static_cast<float>(t2 - t1);
    record.image_path = image_path;
    record.feature_value = tool_feature_text(feature, CLSRETRI_FEATURE_SIZE);
    record.product_ids = codes_text;
    record.real_codes = codes_text;
    record.session_id = session;
    // Written by the record writer: its disk flushes stay off the cashier's time.
    db_queue_record(params, std::move(record));
    std::clock_t t4 = std::clock();
    logger->info("save record elapsed {}ms\n", clock_elapsed_ms(t3, t4));

    std::strcpy(session_out, session.c_str());
    std::strcpy(codes_out, codes_text);
    logger->info("all time elapsed {}ms\n", clock_elapsed_ms(t0, std::clock()));
    return 0;
}

bool crop_area_set() {
    std::lock_guard<std::mutex> camera(g_camera_mutex);
    if (static_cast<long long>(params->cam.width) * params->cam.height != 0) return true;
    logger->info("没有设置摄像头剪辑坐标");
    return false;
}

}  // namespace

int detect_squeezenet(const cv::Mat& picture, std::vector<float>& scores, float* feature) {
    logger->info("进入岚帆图像加速库");
    // The handle's session holds one input and one output: two forwards at once
    // would mix their pictures.
    std::lock_guard<std::mutex> engine(g_engine_mutex);
    if (!handle) {
        logger->info("初始化岚帆图像加速库");
        int created = engine_create();
        if (created != 0) {
            logger->info("岚帆图形加速库初始化失败！error code:{0:x}\n", created);
            return -1;
        }
        logger->info("岚帆图形加速库初始化成功");
    }
    _CLSRETRI_INPUT_ input;
    input.image = picture;
    _CLSRETRI_OUTPUT_ output;
    std::clock_t t1 = std::clock();
    int result = CLSRETRI_Process(input, &output, handle);
    std::clock_t t2 = std::clock();
    if (result != 0) {
        logger->info("岚帆图形加速库推理失败!error code:{0:x}\n", result);
        return -2;
    }
    logger->info("岚帆图形加速库耗时：{}ms\n", clock_elapsed_ms(t1, t2));
    // A NaN or infinite feature would be stored and then rank first in every
    // later search: such a result is an engine failure.
    if (!alg_all_finite(output.feature, CLSRETRI_FEATURE_SIZE)) {
        logger->info("engine returned a non-finite feature");
        return -2;
    }
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i) scores.push_back(output.cls[i].score);
    std::memcpy(feature, output.feature, sizeof output.feature);
    return 0;
}

int AutoDetect(char* codes_out, char* session_out) {
    return qx_gated("AutoDetect", QX_ERR_DETECT_FAILED, QxAccess::kServe, {codes_out, session_out}, [&] {
        std::clock_t t0 = std::clock();
        if (!crop_area_set()) return QX_ERR_NO_CROP;
        _CAMHP_IMAGE_ image{};
        cv::Mat picture;
        {
            std::lock_guard<std::mutex> camera(g_camera_mutex);
            picture = camhp_get_scale_bitmap(&params->cam, &image);
        }
        if (picture.empty() || picture.total() == 0) {
            logger->info("cv::imread failed\n");
            return QX_ERR_NO_PICTURE;
        }
        return recognise(picture, image.crop_path, QX_ERR_DETECT_FAILED, codes_out, session_out, t0);
    });
}

int TestDetect(const char* picture_path, char* codes_out, char* session_out) {
    // Served from the live store during a rebuild too: the new store is built
    // beside it, and the engine takes one picture at a time.
    return qx_gated("TestDetect", QX_ERR_FILE_DETECT_FAILED, QxAccess::kRead, {picture_path, codes_out, session_out},
                    [&] {
        std::clock_t t0 = std::clock();
        if (!crop_area_set()) return QX_ERR_NO_CROP;
        cv::Mat picture = cv::imread(picture_path, cv::IMREAD_COLOR);
        if (picture.empty()) {
            logger->info("cv::imread failed\n");
            return QX_ERR_NO_PICTURE;
        }
        return recognise(picture, picture_path, QX_ERR_FILE_DETECT_FAILED, codes_out, session_out, t0);
    });
}
