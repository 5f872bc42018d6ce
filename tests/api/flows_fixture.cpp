#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "testkit/files.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

const std::vector<Kind>& distinct_kinds() {
    static const std::vector<Kind> kinds = {
        {"4001", "Fruit/Banana"},      {"4002", "Vegetables/Carrots"}, {"4003", "Vegetables/Aubergine"},
        {"4004", "Fruit/Kiwi"},        {"4005", "Fruit/Pineapple"},    {"4006", "Vegetables/Leek"},
        {"4007", "Vegetables/Cucumber"}, {"4008", "Fruit/Pomegranate"}};
    return kinds;
}

std::string grocery(const std::string& split, const Kind& kind, int n) {
    std::vector<std::string> photos;
    for (const auto& entry : fs::directory_iterator(shared_path("data/grocery/" + split + "/" + kind.folder)))
        if (entry.path().extension() == ".jpg") photos.push_back(entry.path().string());
    std::sort(photos.begin(), photos.end());
    return photos.at(static_cast<size_t>(n));
}

void FlowTest::SetUp() {
    TempDirTest::SetUp();
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
}

void FlowTest::TearDown() {
    Close();
    TempDirTest::TearDown();
}

void FlowTest::stock_pic_data(const std::vector<Kind>& kinds, int shots) {
    fs::create_directories("pic_data");
    for (size_t k = 0; k < kinds.size(); ++k) {
        if (k % 2 == 1) fs::create_directories("pic_data/" + kinds[k].code);
        for (int n = 0; n < shots; ++n) {
            std::string target = k % 2 == 0 ? "pic_data/" + kinds[k].code + "\\" + std::to_string(n) + ".jpg"
                                            : "pic_data/" + kinds[k].code + "/" + std::to_string(n) + ".jpg";
            fs::copy_file(grocery("train", kinds[k], n), target);
        }
    }
}

std::vector<std::string> FlowTest::recognise(const std::string& picture, std::string* session) {
    char codes[QX_CODES_SIZE] = "";
    char id[QX_SESSION_SIZE] = "";
    EXPECT_EQ(TestDetect(picture.c_str(), codes, id), 0) << picture;
    if (session) *session = id;
    std::vector<std::string> list;
    std::stringstream text(codes);
    for (std::string code; std::getline(text, code, ',');) list.push_back(code);
    return list;
}

void settle_records() {
    if (params) db_flush_records(params);
}

long long FlowTest::scalar(const std::string& sql, const std::string& file) {
    settle_records();
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

int FlowTest::index_size() { return params && params->index ? params->index->get_cur_element_count() : -1; }

std::string FlowTest::text(const std::string& sql) {
    settle_records();
    sqlite3* db = nullptr;
    std::string value;
    if (sqlite3_open_v2("featurexYz.db", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0))
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

bool FlowTest::exec_sql(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    bool done = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}
