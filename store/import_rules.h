#pragma once
// What the rows of a store brought in from elsewhere must hold before the
// library serves them: each rule says why a file breaks it ("" when it does
// not), on an open connection to the migrated copy.
#include "store/CppSQLite3.h"

#include <string>

// A feature the model can have made: exactly its 160 values, all finite, of
// unit length within kFeatureNormTolerance (the model's features are, and a
// value like 1e30 would overflow every distance). nullptr when `text` is one,
// else why not.
constexpr double kFeatureNormTolerance = 1e-3;
const char* db_feature_fault(const char* text);
// Every live sample's code follows the product-code rule (tool_code_fault) and
// its feature passes db_feature_fault; both are texts.
std::string db_live_samples_unfit(CppSQLite3DB& db);
// `deleted` is 0 or 1 on every row: the two values the store itself writes,
// so every row is either served or withdrawn.
std::string db_deleted_marks_unfit(CppSQLite3DB& db);
