#include "store/libhnsw.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

using libhnsw::Index;

namespace {

std::vector<float> vec(std::initializer_list<float> values) { return std::vector<float>(values); }

std::vector<int> labels_of(const std::vector<std::pair<float, int>>& hits) {
    std::vector<int> labels;
    for (const auto& hit : hits) labels.push_back(hit.second);
    return labels;
}

std::vector<float> distances_of(const std::vector<std::pair<float, int>>& hits) {
    std::vector<float> distances;
    for (const auto& hit : hits) distances.push_back(hit.first);
    return distances;
}

}  // namespace

// Sample i sits at (i, -i, 0); an index holds up to 10. Three values, so that
// the label stored behind each vector needs the padding that aligns it.
TEST(IndexModes, EachModeListsItsHitsInItsOwnOrderAndNoMoreThanItHolds) {
    struct Case {
        libhnsw::MODE mode;
        libhnsw::SPACE_TYPE space;
        int samples, k;
        float query_x;
        std::vector<int> labels;
        std::vector<float> distances;
    };
    const Case cases[] = {
        {libhnsw::BF_SORTED, libhnsw::L2, 5, 3, 0, {0, 1, 2}, {0, 2, 8}},
        {libhnsw::BF_SORTED, libhnsw::L2, 5, 9, 0, {0, 1, 2, 3, 4}, {0, 2, 8, 18, 32}},
        {libhnsw::BF_SORTED, libhnsw::L2, 5, 0, 0, {}, {}},
        {libhnsw::BF_SORTED, libhnsw::L2, 0, 6, 0, {}, {}},
        {libhnsw::BF_SORTED, libhnsw::L1, 5, 3, 0, {0, 1, 2}, {0, 2, 4}},
        {libhnsw::BF_QUEUE, libhnsw::L2, 5, 3, 0, {2, 1, 0}, {8, 2, 0}},
        {libhnsw::HNSW_SORTED, libhnsw::L2, 5, 3, 0, {0, 1, 2}, {0, 2, 8}},
        {libhnsw::MATRIX, libhnsw::L2, 5, 9, 0, {0, 1, 2, 3, 4}, {0, 2, 8, 18, 32}},
        {libhnsw::MATRIX, libhnsw::IP, 5, 2, 1, {4, 3}, {4, 3}},
        {libhnsw::DISABLED, libhnsw::L2, 5, 3, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " space " << c.space << " k " << c.k);
        Index index(3, 10, c.mode, c.space);
        for (int i = 0; i < c.samples; ++i) index.Addsample(vec({float(i), -float(i), 0}).data(), i);
        const auto hits = index.Search(vec({c.query_x, 0, 0}).data(), c.k);
        EXPECT_EQ(labels_of(hits), c.labels);
        EXPECT_EQ(distances_of(hits), c.distances);
    }
}

TEST(IndexModes, EqualDistancesRankBySmallerLabel) {
    Index index(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    for (int label : {9, 4, 7, 2}) index.Addsample(vec({1, 1, 0, 0}).data(), label);
    EXPECT_EQ(labels_of(index.Search(vec({1, 1, 0, 0}).data(), 3)), (std::vector<int>{2, 4, 7}));
}

TEST(IndexModes, KnownLabelIsReplacedNotAdded) {
    Index index(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    index.Addsample(vec({1, 0, 0, 0}).data(), 5);
    index.Addsample(vec({0, 9, 0, 0}).data(), 5);
    EXPECT_EQ(index.get_cur_element_count(), 1);
    EXPECT_EQ(index.Search(vec({0, 9, 0, 0}).data(), 6), (std::vector<std::pair<float, int>>{{0.0f, 5}}));
}

// Removal fills the gap with the last sample, which must stay findable by its label.
TEST(IndexModes, RemovedSamplesAreGoneAndTheMovedOneStaysKnown) {
    for (libhnsw::MODE mode : {libhnsw::BF_SORTED, libhnsw::MATRIX, libhnsw::HNSW_SORTED}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        Index index(4, 10, mode, libhnsw::L2);
        for (int label = 0; label < 3; ++label) index.Addsample(vec({float(label), 0, 0, 0}).data(), label);
        EXPECT_EQ(index.Removesample(42), -1);
        EXPECT_EQ(index.Removesample(0), 1);
        EXPECT_EQ(index.Removesample(0), -1);
        EXPECT_EQ(index.Removesample(2), 1);
        EXPECT_EQ(labels_of(index.Search(vec({0, 0, 0, 0}).data(), 6)), (std::vector<int>{1}));
        if (mode == libhnsw::HNSW_SORTED) continue;  // the graph only marks samples removed
        EXPECT_EQ(index.get_cur_element_count(), 1);
        index.Addsample(vec({5, 0, 0, 0}).data(), 2);
        EXPECT_EQ(labels_of(index.Search(vec({0, 0, 0, 0}).data(), 6)), (std::vector<int>{1, 2}));
    }
}

TEST(IndexModes, FullMatrixOverwritesItsOldestRowAndForgetsThatLabel) {
    Index index(2, 2, libhnsw::MATRIX, libhnsw::L2);
    index.Addsample(vec({1, 0}).data(), 10);
    index.Addsample(vec({2, 0}).data(), 11);
    index.Addsample(vec({3, 0}).data(), 12);  // takes label 10's row
    EXPECT_EQ(index.get_cur_element_count(), 2);
    EXPECT_EQ(labels_of(index.Search(vec({0, 0}).data(), 6)), (std::vector<int>{11, 12}));
    libhnsw::RequireSample sample;
    index.Selectsample(sample, 10);
    EXPECT_EQ(sample.data, nullptr);
    index.Addsample(vec({4, 0}).data(), 10);  // a new sample again, not label 12's row
    EXPECT_EQ(labels_of(index.Search(vec({0, 0}).data(), 6)), (std::vector<int>{12, 10}));
}

using IndexFile = TempDirTest;

TEST_F(IndexFile, SavedIndexLoadsWithItsLabels) {
    Index index(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    index.Addsample(vec({1, 0, 0, 0}).data(), 7);
    index.Addsample(vec({1, 2, 3, 4}).data(), 8);
    index.saveIndex("index.bin");
    Index loaded(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    EXPECT_EQ(loaded.loadIndex("index.bin"), 0);
    libhnsw::RequireSample sample;
    loaded.Selectsample(sample, 8);
    ASSERT_EQ(sample.length, 4);
    EXPECT_EQ(std::vector<float>(sample.data, sample.data + 4), vec({1, 2, 3, 4}));
    loaded.freeSelectsample(&sample);
    loaded.Addsample(vec({0, 0, 1, 0}).data(), 7);
    EXPECT_EQ(loaded.get_cur_element_count(), 2);
    EXPECT_THROW(loaded.loadIndex("missing.bin"), std::runtime_error);
}

TEST(IndexModes, TwoIndexesKeepTheirOwnSamples) {
    auto older = std::make_unique<Index>(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    older->Addsample(vec({1, 0, 0, 0}).data(), 1);
    Index newer(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    newer.Addsample(vec({0, 1, 0, 0}).data(), 2);
    older.reset();
    EXPECT_EQ(labels_of(newer.Search(vec({1, 0, 0, 0}).data(), 6)), (std::vector<int>{2}));
}
