// The host's product catalogue as the tool reads it: findcode's records taken
// apart by plain text search (no regular expression: a hostile catalogue may
// hold texts of any length), and the page's catalogue search.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>
#include <sqlite3.h>

#include <algorithm>

std::vector<CatalogueRecord> catalogue_records(const std::string& text) {
    // "{pluNo:<no>name :<name>unitPrice :<price>...}" back to back.
    static const std::string open = "{pluNo:", name = "name :", price = "unitPrice :";
    std::vector<CatalogueRecord> records;
    for (size_t at = text.find(open); at != std::string::npos;) {
        size_t name_at = text.find(name, at + open.size());
        size_t price_at = name_at == std::string::npos ? name_at : text.find(price, name_at + name.size());
        if (price_at == std::string::npos) break;
        records.push_back({text.substr(at + open.size(), name_at - at - open.size()),
                           text.substr(name_at + name.size(), price_at - name_at - name.size())});
        at = text.find(open, price_at);
    }
    return records;
}

namespace {

// Codes looked up in one statement, well below SQLite's limit on parameters.
constexpr size_t kCodesPerStatement = 200;

// The catalogue file, read-only; null (and nothing held) when it does not open.
sqlite3* open_catalogue(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) return db;
    sqlite3_close(db);
    return nullptr;
}

std::string column_text(sqlite3_stmt* query, int i) {
    const unsigned char* value = sqlite3_column_text(query, i);
    return value ? reinterpret_cast<const char*>(value) : "";
}

// Products whose number, name or pinyin holds `text`, read from the catalogue
// file itself: the library's search takes a text that starts with a letter for
// pinyin only, and logs every record it finds. `page.total` counts them all.
CataloguePage search_catalogue(const std::string& path, const std::string& text, int offset, bool* readable) {
    static const char* const where = " from qx_goods where instr(pluNo, ?1) or instr(name, ?1) "
                                     "or instr(lower(keywordPinyin), lower(?1)) or instr(lower(name), lower(?1))";
    CataloguePage page;
    sqlite3* db = open_catalogue(path);
    sqlite3_stmt* count = nullptr;
    sqlite3_stmt* query = nullptr;
    *readable = db && sqlite3_prepare_v2(db, (std::string("select count(*)") + where).c_str(), -1, &count, nullptr) == SQLITE_OK &&
                sqlite3_prepare_v2(db, (std::string("select pluNo, name") + where + " order by pluNo limit ?2 offset ?3").c_str(),
                                   -1, &query, nullptr) == SQLITE_OK;
    if (*readable) {
        sqlite3_bind_text(count, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(count) == SQLITE_ROW) page.total = sqlite3_column_int(count, 0);
        sqlite3_bind_text(query, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(query, 2, kSearchPage);
        sqlite3_bind_int(query, 3, offset);
        while (sqlite3_step(query) == SQLITE_ROW) page.records.push_back({column_text(query, 0), column_text(query, 1)});
    }
    sqlite3_finalize(count);
    sqlite3_finalize(query);
    sqlite3_close(db);
    return page;
}

}  // namespace

std::map<std::string, std::string> catalogue_names(const std::set<std::string>& codes) {
    std::map<std::string, std::string> names;
    if (codes.empty()) return names;
    sqlite3* db = open_catalogue(json_string(library_status(), "catalogDb"));
    if (!db) return names;
    std::vector<std::string> list(codes.begin(), codes.end());
    for (size_t first = 0; first < list.size(); first += kCodesPerStatement) {
        const size_t count = std::min(kCodesPerStatement, list.size() - first);
        // A number stored as an integer reads as the same text the host's search gives.
        std::string sql = "select cast(pluNo as text), name from qx_goods where cast(pluNo as text) in (?";
        for (size_t i = 1; i < count; ++i) sql += ",?";
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, (sql + ")").c_str(), -1, &query, nullptr) != SQLITE_OK) break;
        for (size_t i = 0; i < count; ++i)
            sqlite3_bind_text(query, static_cast<int>(i + 1), list[first + i].c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(query) == SQLITE_ROW) names.emplace(column_text(query, 0), column_text(query, 1));
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return names;
}

std::string catalogue_name(const std::string& code) {
    auto names = catalogue_names({code});
    auto found = names.find(code);
    return found == names.end() ? "" : found->second;
}

void add_catalogue_routes(httplib::Server& server) {
    // Products of the catalogue, for teaching a product that the recogniser did not offer.
    server.Get("/api/search", [](const httplib::Request& request, httplib::Response& response) {
        std::string text = request.get_param_value("text");
        if (text.empty() || text.size() > 64) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "type 1 to 64 characters of a name or code").text(), 400);
            return;
        }
        int offset = 0;
        std::string offset_text = request.get_param_value("offset");
        if (!offset_text.empty() && (!parse_int(offset_text, &offset) || offset < 0)) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "offset must be a whole number, 0 or more").text(), 400);
            return;
        }
        bool readable = false;
        CataloguePage page = search_catalogue(json_string(library_status(), "catalogDb"), text, offset, &readable);
        std::vector<std::string> products;
        for (const CatalogueRecord& record : page.records)
            products.push_back(JsonObject().add("code", record.code).add("name", record.name).text());
        JsonObject answer = result_json(readable ? QX_OK : QX_ERR_CATALOGUE);
        if (!readable) answer.add("problem", "the catalogue cannot be read: see Catalogue under Status");
        send_json(response, answer.add("total", page.total).add("offset", offset).add("page", kSearchPage)
                                .add_raw("products", json_array(products)).text());
    });
}
