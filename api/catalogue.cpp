// Product catalogue lookup in the host POS program's own SQLite file, which is
// only ever opened read-only: a lookup never creates nor changes it.
#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
#include "build_config.h"
#include "store/CppSQLite3.h"
#include "support/log.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

std::string findsession(const char* text, const char* unused);

namespace {

std::string catalogue_path() {
    if (params && !params->catalog_db.empty()) return params->catalog_db;
    return QX_CATALOG_DB_DEFAULT;
}

const char* statement_for(unsigned char first) {
    if (first >= '0' && first <= '9')
        return "select pluNo,name,unitPrice,priceUnitDes,imageUrl,keywordPinyin  from qx_goods where pluNo like %Q;";
    if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))
        return "select pluNo,name,unitPrice,priceUnitDes,imageUrl,keywordPinyin from qx_goods where keywordPinyin like "
               "%Q;";
    return "select pluNo,name,unitPrice,priceUnitDes,imageUrl,keywordPinyin from qx_goods where name like %Q;";
}

// The lookup's text, or QX_ERR_CATALOGUE after logging why the catalogue could
// not be searched.
int lookup(const char* text, const char* unused, std::string& result) {
    try {
        result = findsession(text, unused);
        return QX_OK;
    } catch (const CppSQLite3Exception& e) {
        logger->info("findcode failed: {}", e.errorMessage());
    } catch (const std::exception& e) {
        logger->info("findcode failed: {}", e.what());
    }
    result.clear();
    return QX_ERR_CATALOGUE;
}

// The longest head of `text` that fits `room` bytes without splitting a UTF-8
// character.
size_t utf8_head(const std::string& text, size_t room) {
    if (room >= text.size()) return text.size();
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

std::string findsession(const char* text, const char* /*unused*/) {
    if (!text) text = "";
    const char* statement = statement_for(static_cast<unsigned char>(text[0]));
    const std::string pattern = std::string("%") + text + "%";
    const std::string path = catalogue_path();
    logger->info("path.c_str():{}", path);
    CppSQLite3DB db;
    db.open(path.c_str(), SQLITE_OPEN_READONLY);
    CppSQLite3Buffer sql;
    sql.format(statement, pattern.c_str());
    logger->info("parameters:{}", pattern);
    std::string result;
    CppSQLite3Query query = db.execQuery(sql);
    for (; !query.eof(); query.nextRow()) {
        const std::string plu = query.getStringField("pluNo", "");
        const std::string name = query.getStringField("name", "");
        const std::string price = query.getStringField("unitPrice", "");
        const std::string unit = query.getStringField("priceUnitDes", "");
        const std::string image = query.getStringField("imageUrl", "");
        const std::string pinyin = query.getStringField("keywordPinyin", "");
        logger->info("pluNo:{}", plu);
        logger->info("name :{}", name);
        logger->info("unitPrice :{}", price);
        logger->info("priceUnitDes :{} ", unit);
        logger->info("imageUrl :{}", image);
        logger->info("keywordPinyin :{}", pinyin);
        result += "{pluNo:" + plu + "name :" + name + "unitPrice :" + price + "priceUnitDes :" + unit +
                  "imageUrl :" + image + "keywordPinyin :" + pinyin + "}";
        std::printf("pluNo:%s\nname : %s\nunitPrice : %s\npriceUnitDes : %s\nimageUrl : %s\nkeywordPinyin : %s\n",
                    plu.c_str(), name.c_str(), price.c_str(), unit.c_str(), image.c_str(), pinyin.c_str());
    }
    query.finalize();
    db.close();
    return result;
}

int findcode(const char* text, const char* unused, char* out) {
    return qx_gated("findcode", QX_ERR_CATALOGUE, QxAccess::kAny, {text, out}, [&] {
        out[0] = '\0';
        std::string result;
        int rc = lookup(text, unused, result);
        std::memcpy(out, result.c_str(), result.size() + 1);
        return rc;
    });
}

int findcode_n(const char* text, const char* unused, char* out, int out_size) {
    return qx_gated("findcode_n", QX_ERR_CATALOGUE, QxAccess::kAny, {text}, [&] {
        if (out_size < 0 || (!out && out_size > 0)) return QX_ERR_ARGUMENT;
        if (out_size > 0) out[0] = '\0';
        std::string result;
        int rc = lookup(text, unused, result);
        if (rc != QX_OK) return rc;
        if (out_size > 0) {
            const size_t kept = utf8_head(result, static_cast<size_t>(out_size) - 1);
            std::memcpy(out, result.data(), kept);
            out[kept] = '\0';
        }
        return static_cast<int>(result.size());
    });
}
