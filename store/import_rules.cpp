#include "store/import_rules.h"

#include "store/database.h"
#include "support/alg.h"
#include "support/tools.h"

#include <cmath>
#include <cstring>

const char* db_feature_fault(const char* text) {
    if (!text) return "missing";
    // One slot more than a feature has, to see a text that holds more.
    float values[DB_INDEX_VALUES + 1] = {};
    const int read = tool_feature_read(text, values, DB_INDEX_VALUES + 1);
    if (read != DB_INDEX_VALUES) return "not of the model's 160 values";
    if (!alg_all_finite(values, read)) return "not finite";
    double squares = 0.0;
    for (int i = 0; i < read; ++i) squares += static_cast<double>(values[i]) * values[i];
    if (std::fabs(std::sqrt(squares) - 1.0) > kFeatureNormTolerance) return "not of unit length";
    return nullptr;
}

std::string db_live_samples_unfit(CppSQLite3DB& db) {
    CppSQLite3Query rows = db.execQuery(
        "select id, typeof(code), code, length(cast(code as blob)), typeof(feature), feature "
        "from feature_code where deleted = 0;");
    for (; !rows.eof(); rows.nextRow()) {
        const std::string id = std::to_string(rows.getInt64Field(0, 0));
        const std::string code = rows.getStringField(2, "");
        // A NUL byte ends the text SQLite hands out: the lengths then differ.
        if (std::strcmp(rows.getStringField(1, ""), "text") != 0 ||
            static_cast<long long>(code.size()) != rows.getInt64Field(3, 0))
            return "sample " + id + ": its code is no text";
        if (const char* fault = tool_code_fault(code)) return "sample " + id + ": its code is " + fault;
        if (std::strcmp(rows.getStringField(4, ""), "text") != 0) return "sample " + id + ": its feature is no text";
        if (const char* fault = db_feature_fault(rows.getStringField(5, "")))
            return "sample " + id + ": its feature is " + fault;
    }
    return "";
}

std::string db_deleted_marks_unfit(CppSQLite3DB& db) {
    CppSQLite3Query marked = db.execQuery(
        "select id from feature_code where typeof(deleted) <> 'integer' or deleted not in (0, 1) limit 1;");
    if (marked.eof()) return "";
    return "sample " + std::to_string(marked.getInt64Field(0, 0)) + " is neither live nor withdrawn";
}
