#include "store/libhnsw.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

using libhnsw::Index;
using Hits = std::vector<std::pair<float, int>>;

namespace {

std::vector<float> vec(std::initializer_list<float> values) { return std::vector<float>(values); }

std::vector<int> labels_of(const Hits& hits) {
    std::vector<int> labels;
    for (const auto& hit : hits) labels.push_back(hit.second);
    return labels;
}

}  // namespace

class ExhaustiveIndex : public ::testing::Test {
protected:
    Index index{4, 100, libhnsw::BF_SORTED, libhnsw::L2};
};

TEST_F(ExhaustiveIndex, FewerSamplesThanKGiveOnlyTheStoredOnes) {
    index.Addsample(vec({0, 0, 0, 0}).data(), 0);
    index.Addsample(vec({1, 0, 0, 0}).data(), 1);
    index.Addsample(vec({3, 0, 0, 0}).data(), 2);
    Hits hits = index.Search(vec({1, 0, 0, 0}).data(), 6);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0], std::make_pair(0.0f, 1));
    EXPECT_EQ(hits[1], std::make_pair(1.0f, 0));
    EXPECT_EQ(hits[2], std::make_pair(4.0f, 2));
}

TEST_F(ExhaustiveIndex, EmptyIndexAndZeroKGiveNoHits) {
    EXPECT_TRUE(index.Search(vec({1, 0, 0, 0}).data(), 6).empty());
    index.Addsample(vec({1, 0, 0, 0}).data(), 0);
    EXPECT_TRUE(index.Search(vec({1, 0, 0, 0}).data(), 0).empty());
}

TEST_F(ExhaustiveIndex, EqualDistancesRankBySmallerLabel) {
    for (int label : {9, 4, 7, 2}) index.Addsample(vec({1, 1, 0, 0}).data(), label);
    EXPECT_EQ(labels_of(index.Search(vec({1, 1, 0, 0}).data(), 3)), (std::vector<int>{2, 4, 7}));
}

TEST_F(ExhaustiveIndex, QueueModeListsFarthestFirst) {
    Index queue(4, 10, libhnsw::BF_QUEUE, libhnsw::L2);
    for (int label = 0; label < 5; ++label) queue.Addsample(vec({float(label), 0, 0, 0}).data(), label);
    EXPECT_EQ(labels_of(queue.Search(vec({0, 0, 0, 0}).data(), 3)), (std::vector<int>{2, 1, 0}));
}

TEST_F(ExhaustiveIndex, ExistingLabelIsReplaced) {
    index.Addsample(vec({1, 0, 0, 0}).data(), 5);
    index.Addsample(vec({0, 9, 0, 0}).data(), 5);
    EXPECT_EQ(index.get_cur_element_count(), 1);
    Hits hits = index.Search(vec({0, 9, 0, 0}).data(), 6);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0], std::make_pair(0.0f, 5));
}

TEST_F(ExhaustiveIndex, FullEngineRefusesANewLabel) {
    Index small(4, 2, libhnsw::BF_SORTED, libhnsw::L2);
    small.Addsample(vec({1, 0, 0, 0}).data(), 0);
    small.Addsample(vec({2, 0, 0, 0}).data(), 1);
    EXPECT_THROW(small.Addsample(vec({3, 0, 0, 0}).data(), 2), std::runtime_error);
    EXPECT_EQ(small.Addsample(vec({4, 0, 0, 0}).data(), 1), 1);
}

TEST_F(ExhaustiveIndex, RemovingUnknownLabelChangesNothing) {
    index.Addsample(vec({1, 0, 0, 0}).data(), 0);
    EXPECT_EQ(index.Removesample(42), -1);
    EXPECT_EQ(index.get_cur_element_count(), 1);
    EXPECT_EQ(labels_of(index.Search(vec({1, 0, 0, 0}).data(), 6)), (std::vector<int>{0}));
}

TEST_F(ExhaustiveIndex, RemovingMovesTheLastVectorIntoTheGap) {
    for (int label = 0; label < 3; ++label) index.Addsample(vec({float(label), 0, 0, 0}).data(), label);
    EXPECT_EQ(index.Removesample(0), 1);
    EXPECT_EQ(index.Removesample(2), 1);  // the vector that was moved
    EXPECT_EQ(index.get_cur_element_count(), 1);
    EXPECT_EQ(labels_of(index.Search(vec({0, 0, 0, 0}).data(), 6)), (std::vector<int>{1}));
    index.Addsample(vec({5, 0, 0, 0}).data(), 2);
    EXPECT_EQ(index.get_cur_element_count(), 2);
}

TEST_F(ExhaustiveIndex, SelectCopiesKnownLabelAndLeavesUnknownEmpty) {
    index.Addsample(vec({1, 2, 3, 4}).data(), 3);
    libhnsw::RequireSample sample;
    EXPECT_EQ(index.Selectsample(sample, 3), 1);
    ASSERT_EQ(sample.length, 4);
    EXPECT_EQ(std::vector<float>(sample.data, sample.data + 4), vec({1, 2, 3, 4}));
    index.Selectsample(sample, 8);
    EXPECT_EQ(sample.data, nullptr);
    EXPECT_EQ(sample.length, 0);
    index.freeSelectsample(&sample);
}

TEST_F(ExhaustiveIndex, SavedIndexLoadsWithItsLabels) {
    index.Addsample(vec({1, 0, 0, 0}).data(), 7);
    index.Addsample(vec({0, 1, 0, 0}).data(), 8);
    index.saveIndex("index.bin");
    Index loaded(4, 100, libhnsw::BF_SORTED, libhnsw::L2);
    EXPECT_EQ(loaded.loadIndex("index.bin"), 0);
    EXPECT_EQ(loaded.get_cur_element_count(), 2);
    EXPECT_EQ(labels_of(loaded.Search(vec({0, 1, 0, 0}).data(), 1)), (std::vector<int>{8}));
    loaded.Addsample(vec({0, 0, 1, 0}).data(), 7);  // a known label: replaced, not added
    EXPECT_EQ(loaded.get_cur_element_count(), 2);
    EXPECT_THROW(loaded.loadIndex("missing.bin"), std::runtime_error);
    std::remove("index.bin");
}

TEST_F(ExhaustiveIndex, TwoIndexesKeepTheirOwnSamples) {
    auto older = std::make_unique<Index>(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    older->Addsample(vec({1, 0, 0, 0}).data(), 1);
    Index newer(4, 10, libhnsw::BF_SORTED, libhnsw::L2);
    newer.Addsample(vec({0, 1, 0, 0}).data(), 2);
    older.reset();
    EXPECT_EQ(labels_of(newer.Search(vec({1, 0, 0, 0}).data(), 6)), (std::vector<int>{2}));
}

TEST(IndexSpaces, L1SumsAbsoluteDifferences) {
    Index index(3, 10, libhnsw::BF_SORTED, libhnsw::L1);
    index.Addsample(vec({1, -2, 3}).data(), 0);
    Hits hits = index.Search(vec({0, 0, 0}).data(), 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_FLOAT_EQ(hits[0].first, 6.0f);
    EXPECT_EQ(index.get_data_size(), 12u);
}

TEST(GraphIndex, SmallSetGivesNearestFirstAndHonoursRemoval) {
    Index index(4, 100, libhnsw::HNSW_SORTED, libhnsw::L2);
    for (int label = 0; label < 20; ++label) index.Addsample(vec({float(label), 0, 0, 0}).data(), label);
    EXPECT_EQ(labels_of(index.Search(vec({10.2f, 0, 0, 0}).data(), 3)), (std::vector<int>{10, 11, 9}));
    EXPECT_EQ(index.Removesample(10), 1);
    EXPECT_EQ(index.Removesample(10), -1);
    EXPECT_EQ(labels_of(index.Search(vec({10.2f, 0, 0, 0}).data(), 2)), (std::vector<int>{11, 9}));
    libhnsw::RequireSample sample;
    EXPECT_EQ(index.Selectsample(sample, 11), 0);
    EXPECT_EQ(sample.data, nullptr);
}

TEST(DisabledIndex, DoesNothing) {
    Index index(4, 10, libhnsw::DISABLED, libhnsw::L2);
    EXPECT_EQ(index.Addsample(vec({1, 0, 0, 0}).data(), 0), 1);
    EXPECT_TRUE(index.Search(vec({1, 0, 0, 0}).data(), 6).empty());
    EXPECT_EQ(index.get_cur_element_count(), 0);
    EXPECT_EQ(index.get_data_size(), 4u);
}

class MatrixIndex : public ::testing::Test {};

TEST_F(MatrixIndex, FullMatrixOverwritesTheOldestRow) {
    Index index(2, 2, libhnsw::MATRIX, libhnsw::L2);
    index.Addsample(vec({1, 0}).data(), 10);
    index.Addsample(vec({2, 0}).data(), 11);
    index.Addsample(vec({3, 0}).data(), 12);
    EXPECT_EQ(index.get_cur_element_count(), 2);
    EXPECT_EQ(labels_of(index.Search(vec({0, 0}).data(), 6)), (std::vector<int>{11, 12}));
    libhnsw::RequireSample sample;
    index.Selectsample(sample, 12);
    ASSERT_EQ(sample.length, 2);
    EXPECT_EQ(sample.data[0], 3.0f);
    index.freeSelectsample(&sample);
}

TEST_F(MatrixIndex, OverwrittenLabelNoLongerOwnsItsRow) {
    Index index(2, 2, libhnsw::MATRIX, libhnsw::L2);
    index.Addsample(vec({1, 0}).data(), 10);
    index.Addsample(vec({2, 0}).data(), 11);
    index.Addsample(vec({3, 0}).data(), 12);  // takes label 10's row
    libhnsw::RequireSample sample;
    index.Selectsample(sample, 10);
    EXPECT_EQ(sample.data, nullptr);
    index.Addsample(vec({4, 0}).data(), 10);  // a new sample again, not label 12's row
    EXPECT_EQ(labels_of(index.Search(vec({0, 0}).data(), 6)), (std::vector<int>{12, 10}));
}

TEST_F(MatrixIndex, UnusedRowsAreNoHits) {
    Index index(2, 50, libhnsw::MATRIX, libhnsw::L2);
    index.Addsample(vec({5, 5}).data(), 3);
    Hits hits = index.Search(vec({0, 0}).data(), 6);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0], std::make_pair(50.0f, 3));
}

TEST_F(MatrixIndex, RemoveMovesTheLastRowAndRefusesUnknownLabels) {
    Index index(2, 5, libhnsw::MATRIX, libhnsw::L1);
    for (int label = 0; label < 3; ++label) index.Addsample(vec({float(label), 0}).data(), label + 20);
    EXPECT_EQ(index.Removesample(99), -1);
    EXPECT_EQ(index.Removesample(20), 1);
    EXPECT_EQ(index.get_cur_element_count(), 2);
    Hits hits = index.Search(vec({0, 0}).data(), 6);
    EXPECT_EQ(labels_of(hits), (std::vector<int>{21, 22}));
    EXPECT_FLOAT_EQ(hits[1].first, 2.0f);
    EXPECT_EQ(index.Removesample(22), 1);  // now the last row itself
    EXPECT_EQ(labels_of(index.Search(vec({0, 0}).data(), 6)), (std::vector<int>{21}));
}

TEST_F(MatrixIndex, InnerProductListsLargestDotFirst) {
    Index index(2, 4, libhnsw::MATRIX, libhnsw::IP);
    index.Addsample(vec({0.2f, 0}).data(), 1);
    index.Addsample(vec({0.9f, 0}).data(), 2);
    index.Addsample(vec({0.5f, 0}).data(), 3);
    Hits hits = index.Search(vec({1, 0}).data(), 2);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].second, 2);
    EXPECT_FLOAT_EQ(hits[0].first, 0.9f);
    EXPECT_EQ(hits[1].second, 3);
}
