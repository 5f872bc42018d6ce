// The host's product catalogue as the tool reads it: findcode's records taken
// apart by plain text search (no regular expression: a hostile catalogue may
// hold texts of any length), and the page's catalogue search.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>

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

void add_catalogue_routes(httplib::Server& server) {
    // Products of the catalogue whose number, pinyin or name holds `text`, for
    // teaching a product that the recogniser did not offer.
    server.Get("/api/search", [](const httplib::Request& request, httplib::Response& response) {
        std::string text = request.get_param_value("text");
        if (text.empty() || text.size() > 64) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "type 1 to 64 characters of a name or code").text(), 400);
            return;
        }
        int result = QX_OK;
        std::string found;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            found = catalogue_text(text, &result);
        }
        std::vector<std::string> products;
        for (const CatalogueRecord& record : catalogue_records(found)) {
            if (products.size() == 20) break;
            products.push_back(JsonObject().add("code", record.code).add("name", record.name).text());
        }
        JsonObject answer = result_json(result);
        if (result != QX_OK) answer.add("problem", "the catalogue cannot be read");
        send_json(response, answer.add_raw("products", json_array(products)).text());
    });
}
