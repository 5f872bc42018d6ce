#pragma once
// A library started in a fresh folder, with helpers to teach it real produce
// photos and to inspect the feature database it keeps.
#include "testkit/temp_dir.h"

#include <string>
#include <vector>

struct Kind {
    std::string code;
    std::string folder;  // under data/grocery/{train,val}/
};

// Eight clearly different kinds of produce.
const std::vector<Kind>& distinct_kinds();
// The n-th photo (sorted) of a kind in "train" or "val".
std::string grocery(const std::string& split, const Kind& kind, int n);
// Waits until the records of the recognitions made so far are in the file, as
// a reading call of the library would, before a test reads it behind its back.
void settle_records();

class FlowTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Puts `shots` training photos of each kind into pic_data: even kinds as flat
    // "<code>\<n>.jpg" files, odd kinds in a "<code>/" folder.
    void stock_pic_data(const std::vector<Kind>& kinds, int shots);
    // Recognises a picture file; the codes it returned, best first.
    std::vector<std::string> recognise(const std::string& picture, std::string* session = nullptr);
    // A single number from the feature database (read after settle_records()), e.g.
    // "select count(*) from feature_code", or from another database file.
    long long scalar(const std::string& sql, const std::string& file = "featurexYz.db");
    // A text from the feature database ("" for no row or NULL).
    std::string text(const std::string& sql);
    // Runs SQL on a database file behind the library's back; false on failure.
    bool exec_sql(const std::string& file, const std::string& sql);
    int index_size();
};
