// Feedback: the cashier's choice teaches the store, files the picture and,
// while the cloud answers, reports the recognition.
#include "qx_ai.h"

#include "api/binding.h"
#include "api/context.h"
#include "api/gate.h"
#include "camera/camhp.h"
#include "cloud/CommonTools.h"
#include "cloud/cloud.h"
#include "store/database.h"
#include "support/json.h"
#include "support/log.h"
#include "support/tools.h"

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

static_assert(QX_CODE_MAX == kQxCodeMaxBytes, "the header states the code rule's length");

namespace {

// A cloud URL template with the prefix and the escaped tenant code put in.
std::string cloud_url(const std::string& pattern) { return binding_tenant_url(pattern); }

std::string report_json(const DB_RECORD& record, const DB_FEEDBACK& feedback, const std::string& picture_url,
                        int top) {
    rapidjson::Document report;
    char model_code[16];
    std::snprintf(model_code, sizeof model_code, "%d", record.model_code);
    rapidjson::Pointer("/recommendTime").Set(report, static_cast<double>(record.time));
    rapidjson::Pointer("/productCode").Set(report, feedback.code.c_str());
    rapidjson::Pointer("/productName").Set(report, feedback.product_name.c_str());
    rapidjson::Pointer("/weightingStartTime").Set(report, tool_getnowdate().c_str());
    rapidjson::Pointer("/sessionId").Set(report, feedback.session_id.c_str());
    rapidjson::Pointer("/weighImageUrl").Set(report, picture_url.c_str());
    rapidjson::Pointer("/aiType").Set(report, "KESTREL");
    rapidjson::Pointer("/topNo").Set(report, top);
    rapidjson::Pointer("/identifyCode/code").Set(report, model_code);
    rapidjson::Pointer("/identifyCode/accuracy").Set(report, static_cast<double>(record.score));
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    report.Accept(writer);
    return text.GetString();
}

// The "url" of an upload answer {"code":0,"data":{"url":"..."}}; false when the
// answer is no such object ("end feed back") — *missing_url tells "上传失败".
bool uploaded_url(const std::string& answer, std::string* url, bool* missing_url) {
    *missing_url = false;
    rapidjson::Document document;
    if (!json_parse(answer, document) || !document.IsObject()) return false;
    auto code = document.FindMember("code");
    if (code == document.MemberEnd() || !code->value.IsNumber() || code->value.GetDouble() != 0) return false;
    const rapidjson::Value* found = rapidjson::Pointer("/data/url").Get(document);
    if (!found || !found->IsString()) {
        *missing_url = true;
        return false;
    }
    *url = std::string(found->GetString(), found->GetStringLength());
    return true;
}

bool is_regular_file(const std::string& path) {
    struct stat status;
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The cashier's choice as a sample, with the tray picture filed under it. A
// clear first hit teaches nothing new; a miss, or a hit among several
// candidates, is worth a sample.
int learn_choice(const DB_FEEDBACK& feedback, const DB_RECORD& record, bool clear_hit) {
    if (clear_hit) return QX_OK;
    DB_COMMODITY commodity;
    commodity.id = 0;
    commodity.code = feedback.code;
    commodity.feature = record.feature_value.c_str();
    // A record whose feature is not finite would rank first in every later
    // search: the engine result was unusable, nothing is learned.
    if (db_save_db_index(params, &commodity) != 0) return QX_ERR_DETECT_FAILED;
    _CAMHP_IMAGE_ image{};
    std::snprintf(image.commodity_code, sizeof image.commodity_code, "%s", feedback.code.c_str());
    std::snprintf(image.crop_path, sizeof image.crop_path, "%s", record.image_path.c_str());
    camhp_save_commodity_pic(&image);
    return QX_OK;
}

// Uploads the recognition's picture and posts the report, while the cloud
// answers; logs the call's last line. The requests may last their whole
// time-out: the call's locks are given up first, so Close never waits for them.
void report_to_cloud(const DB_RECORD& record, const DB_FEEDBACK& feedback, int real_top) {
    if (!params->cloud_online) {
        logger->info("end feed back");
        return;
    }
    // A recognition without a kept picture (saveImage off) has nothing to
    // upload; that is no network failure and must not switch the cloud off.
    if (!is_regular_file(record.image_path)) {
        logger->info("no picture kept for session {}, upload and report skipped", feedback.session_id);
        logger->info("end feed back");
        return;
    }
    const std::string upload_url = cloud_url(params->url_upload);
    const std::string report_url = cloud_url(params->url_report);
    const unsigned long long run = qx_leave_state();
    std::string answer;
    if (CommonTools::upload_file(upload_url.c_str(), record.image_path.c_str(), answer) != 0) {
        QxRunEntry again(run);
        if (again.current()) params->cloud_online = false;
        logger->info("设备未联网不再上传");
        return;
    }
    std::string picture_url;
    bool missing_url = false;
    if (!uploaded_url(answer, &picture_url, &missing_url)) {
        logger->info(missing_url ? "上传失败" : "end feed back");
        return;
    }
    std::string response;
    CommonTools::http_post(report_url, report_json(record, feedback, picture_url, real_top), response, 3);
    std::cout << response << std::endl;
    logger->info("end feed back");
}

}  // namespace

int SetFeedBack(const char* code, const char* session_id, unsigned char hit, const char* product_name) {
    return qx_gated("SetFeedBack", QX_ERR_RECORDS, QxAccess::kServe, {code, session_id}, [&] {
        if (const char* fault = tool_code_fault(code)) {
            logger->info("feedback refused: the product code is {}", fault);
            return QX_ERR_ARGUMENT;
        }
        if (!product_name) product_name = "";
        logger->info("code is {} sessionId is {} productName is {}", code, session_id, product_name);
        logger->info("start feed back");

        DB_FEEDBACK feedback;
        feedback.code = code;
        feedback.session_id = session_id;
        feedback.hit = hit != 0;
        feedback.product_name = product_name;
        db_insert_feedback(params, &feedback);

        DB_RECORD record;
        if (db_select_record(params, &record, &feedback) != 0) return QX_ERR_RECORDS;
        if (record.feature_value.empty()) {
            logger->info("featureValue empty,chack detect and sessionId");
            return QX_ERR_NO_RECOGNITION;
        }

        std::string recommended[DB_RESULT_SLOTS], real[DB_RESULT_SLOTS];
        std::string product_ids = record.product_ids, real_codes = record.real_codes;
        tool_splitstring(&product_ids[0], recommended);
        tool_splitstring(&real_codes[0], real);
        int top = tool_gettopno(recommended, code);
        int real_top = tool_gettopno(real, code);
        logger->info("sessionId is {},hit top {},real hit top is {}", session_id, top, real_top);

        const int learned = learn_choice(feedback, record, feedback.hit && real[1].empty());
        if (learned != QX_OK) return learned;
        report_to_cloud(record, feedback, real_top);
        return QX_OK;
    });
}
