#include "store/feature_producer.h"

namespace {

// What the library writes: a 64-digit model identity and a short precision.
// Longer texts, or other types, come from elsewhere and name no producer.
constexpr int kModelLength = 64;
constexpr int kPrecisionLength = 16;

}  // namespace

void db_create_producer_table(CppSQLite3DB& db) {
    db.execDML(
        "CREATE TABLE IF NOT EXISTS feature_producer (id integer PRIMARY KEY, model text NOT NULL, precision text "
        "NOT NULL);");
}

DB_PRODUCER_RECORD db_read_producer(CppSQLite3DB& db) {
    DB_PRODUCER_RECORD record;
    if (!db.tableExists("feature_producer")) return record;
    const int rows = db.execScalar("select count(*) from feature_producer;", 0);
    if (rows == 0) return record;
    record.present = true;
    // Several rows: which one would be meant cannot be told.
    if (rows != 1) return record;
    CppSQLite3Buffer sql;
    CppSQLite3Query query = db.execQuery(sql.format(
        "select case when typeof(model) = 'text' and length(model) <= %d then model else '' end, "
        "case when typeof(precision) = 'text' and length(precision) <= %d then precision else '' end "
        "from feature_producer;",
        kModelLength, kPrecisionLength));
    if (query.eof()) return record;
    record.model = query.getStringField(0, "");
    record.precision = query.getStringField(1, "");
    if (record.model.empty() || record.precision.empty()) record.model.clear();
    return record;
}

void db_write_producer(CppSQLite3DB& db, const std::string& model, const std::string& precision) {
    CppSQLite3Buffer sql;
    db.execDML("delete from feature_producer;");
    db.execDML(sql.format("insert into feature_producer(id, model, precision) values (1, %Q, %Q);", model.c_str(),
                          precision.c_str()));
}

long long db_live_sample_count(CppSQLite3DB& db) {
    if (!db.tableExists("feature_code")) return 0;
    CppSQLite3Query query = db.execQuery("select count(*) from feature_code where deleted = 0;");
    return query.eof() ? 0 : query.getInt64Field(0, 0);
}

std::vector<DB_CODE_SAMPLES> db_live_samples_by_code(CppSQLite3DB& db) {
    std::vector<DB_CODE_SAMPLES> groups;
    if (!db.tableExists("feature_code")) return groups;
    CppSQLite3Query query =
        db.execQuery("select code, id from feature_code where deleted = 0 order by code, update_time desc, id desc;");
    for (; !query.eof(); query.nextRow()) {
        const std::string code = query.getStringField(0, "");
        if (groups.empty() || groups.back().code != code) groups.push_back({code, {}});
        groups.back().ids.push_back(query.getInt64Field(1, 0));
    }
    return groups;
}

void db_replace_feature(CppSQLite3DB& db, long long id, const std::string& feature) {
    CppSQLite3Buffer sql;
    db.execDML(sql.format("update feature_code set feature = %Q where id = %lld;", feature.c_str(), id));
}
