#include "api/settings.h"

#include "api/context.h"
#include "build_config.h"
#include "store/matching.h"
#include "support/ini.h"
#include "support/json.h"
#include "support/log.h"
#include "support/numbers.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A switch is on when its text starts with a number other than 0, whatever
// follows: "1 ; on", "1.0" and "2x" are on, as dev.ini files written for
// earlier releases expect. An overflow gives LONG_MAX or LONG_MIN, also on.
// Numbers that size something keep the strict reader.
bool ini_flag(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10) != 0; }

// A number beyond the range is held to its nearer end; text that is no whole
// number at all gives the default. Either is logged.
int ini_search_k(const std::string& text) {
    if (text.empty()) return SEARCH_K_DEFAULT;
    long long value = 0;
    const QxNumber read = tool_read_number(text, LLONG_MIN, LLONG_MAX, &value);
    // Beyond 64 bits the sign alone tells the nearer end.
    if (read == QxNumber::kOutOfRange) value = text[0] == '-' ? LLONG_MIN : LLONG_MAX;
    const int used = read == QxNumber::kNotANumber ? SEARCH_K_DEFAULT : search_k_clamped(value);
    if (read != QxNumber::kRead || used != value)
        logger->info("searchK {} out of range {}..{}, using {}", text, SEARCH_K_MIN, SEARCH_K_MAX, used);
    return used;
}

// The text member `name` of the JSON object in `path`; empty when the file is
// missing or refused, is no JSON object, or the member is absent or not a string.
std::string json_text_member(const std::string& path, const char* name) {
    rapidjson::Document document;
    if (!json_parse_file(path, document) || !document.IsObject()) return {};
    auto member = document.FindMember(name);
    if (member == document.MemberEnd() || !member->value.IsString()) return {};
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

// dev.ini as read; empty when it is missing or unreadable (which is logged
// when `say_why`): defaults, and start-up goes on.
mINI::INIStructure read_ini(const std::string& path, bool say_why) {
    mINI::INIStructure ini;
    if (path.empty()) return ini;
    mINI::INIReader reader(path);
    if (!(reader >> ini) && say_why && access(path.c_str(), F_OK) == 0)
        logger->info("dev.ini not read ({}): defaults in force", reader.why());
    return ini;
}

}  // namespace

int settings_engine_threads(const std::string& ini_path) {
    mINI::INIStructure ini = read_ini(ini_path, false);
    const std::string text = ini["default"]["engineThreads"];
    int value = 0;
    if (text.empty() || (tool_read_int(text, &value) && value >= 0 && value <= 64)) return value;
    logger->info("engineThreads {} out of range 0..64, the engine chooses", text);
    return 0;
}

void settings_read_dev_ini(DB_HADNLE* context) {
    mINI::INIStructure ini = read_ini(context->ini_path, true);
    auto& section = ini["default"];
    context->dev = section["dev"];
    context->filter_score = static_cast<float>(std::strtod(section["filterScore"].c_str(), nullptr));
    context->cam.save_image = ini_flag(section["saveImage"]);
    drive_ai = ini_flag(section["drive_ai"]);
    const std::string cloud_host = section["cloudHost"];
    context->cloud_host = cloud_host.empty() ? QX_CLOUD_HOST_DEFAULT : cloud_host;
    const std::string catalog_db = section["catalogDb"];
    context->catalog_db = catalog_db.empty() ? QX_CATALOG_DB_DEFAULT : catalog_db;
    context->search_k = ini_search_k(section["searchK"]);
}

void settings_read_bindings(DB_HADNLE* context) {
    context->tenant_code = json_text_member(context->json_tenant_path, "demo");
    logger->info("params->json_tenant_path.c_str():{}", context->json_tenant_path);
    context->pos_id = json_text_member(context->json_posid_path, "posId");
}
