// The host's product catalogue as the tool reads it: findcode's records taken
// apart by plain text search (no regular expression: a hostile catalogue may
// hold texts of any length), and the page's catalogue search.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>
#include <sqlite3.h>

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

// Products whose number, name or pinyin holds `text`, read from the catalogue
// file itself: the library's search takes a text that starts with a letter for
// pinyin only, and logs every record it finds.
std::vector<CatalogueRecord> search_catalogue(const std::string& path, const std::string& text, bool* readable) {
    std::vector<CatalogueRecord> found;
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    *readable = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                sqlite3_prepare_v2(db, "select pluNo, name from qx_goods where instr(pluNo, ?1) or instr(name, ?1) "
                                       "or instr(lower(keywordPinyin), lower(?1)) or instr(lower(name), lower(?1)) "
                                       "order by pluNo limit 20", -1, &query, nullptr) == SQLITE_OK;
    if (*readable) {
        sqlite3_bind_text(query, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(query) == SQLITE_ROW) {
            auto column = [&](int i) {
                const unsigned char* value = sqlite3_column_text(query, i);
                return std::string(value ? reinterpret_cast<const char*>(value) : "");
            };
            found.push_back({column(0), column(1)});
        }
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return found;
}

}  // namespace

void add_catalogue_routes(httplib::Server& server) {
    // Products of the catalogue, for teaching a product that the recogniser did not offer.
    server.Get("/api/search", [](const httplib::Request& request, httplib::Response& response) {
        std::string text = request.get_param_value("text");
        if (text.empty() || text.size() > 64) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "type 1 to 64 characters of a name or code").text(), 400);
            return;
        }
        bool readable = false;
        std::vector<std::string> products;
        for (const CatalogueRecord& record : search_catalogue(json_string(library_status(), "catalogDb"), text, &readable))
            products.push_back(JsonObject().add("code", record.code).add("name", record.name).text());
        JsonObject answer = result_json(readable ? QX_OK : QX_ERR_CATALOGUE);
        if (!readable) answer.add("problem", "the catalogue cannot be read: see Catalogue under Status");
        send_json(response, answer.add_raw("products", json_array(products)).text());
    });
}
