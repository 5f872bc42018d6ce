// The store's exhaustive index narrows each search with a coarse copy of its
// vectors before it computes exact distances. Whatever it holds, it must give
// what a search through every vector gives: the same labels, in the same order,
// at the same distances to the bit. The yardstick is hnswlib's own exhaustive
// search over the same vectors.
#include "store_fixture.h"

#include <hnswlib/hnswlib.h>

#include <cmath>
#include <limits>
#include <map>
#include <sstream>

namespace {

using Hits = std::vector<std::pair<float, int>>;

// The index and, beside it, the vectors it should hold by label.
struct Mirror {
    explicit Mirror(int width) : index(width, 20000, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100) {}

    void add(const std::vector<float>& v, int label) {
        index.Addsample(v.data(), label);
        held[label] = v;
        all.reset();
    }
    void remove(int label) {
        index.Removesample(label);
        held.erase(label);
        all.reset();
    }

    // hnswlib's search through every held vector.
    Hits every_vector(const std::vector<float>& query, int k) {
        if (!all) {
            all.reset(new hnswlib::BruteforceSearch<float>(&space, std::max<size_t>(1, held.size())));
            for (const auto& entry : held) all->addPoint(entry.second.data(), static_cast<hnswlib::labeltype>(entry.first));
        }
        Hits hits;
        for (const auto& hit : all->searchKnnCloserFirst(query.data(), std::min<size_t>(k, held.size())))
            hits.emplace_back(hit.first, static_cast<int>(hit.second));
        return hits;
    }

    libhnsw::Index index;
    std::map<int, std::vector<float>> held;
    hnswlib::L2Space space{static_cast<size_t>(index.dimension())};
    std::unique_ptr<hnswlib::BruteforceSearch<float>> all;  // made again after every change
};

std::string describe(const Hits& hits) {
    std::ostringstream text;
    text.precision(9);
    for (size_t i = 0; i < hits.size() && i < 6; ++i) text << "(" << hits[i].first << ", " << hits[i].second << ") ";
    return text.str();
}

// Queries answered differently from the search through every vector: k = 6 (a
// recognition) and 100 (the widest searchK) for each, 1, 1000 and more than
// are held for every 8th.
int differing(Mirror& mirror, const std::vector<std::vector<float>>& queries) {
    int wrong = 0;
    for (size_t q = 0; q < queries.size(); ++q)
        for (int k : {6, 100, 1, 1000, 30000}) {
            if (k != 6 && k != 100 && q % 8 != 0) continue;
            const std::vector<float>& query = queries[q];
            const Hits got = mirror.index.Search(query.data(), k);
            const Hits expected = mirror.every_vector(query, k);
            if (got == expected) continue;
            if (++wrong <= 3) ADD_FAILURE() << "k " << k << ": index " << describe(got) << "\nall   " << describe(expected);
        }
    return wrong;
}

std::vector<float> scaled(std::vector<float> v, float by) {
    for (float& x : v) x *= by;
    return v;
}

}  // namespace

class NearestSearch : public TempDirTest {};

TEST_F(NearestSearch, CoarseNarrowingGivesWhatEveryVectorGives) {
    const std::vector<std::vector<float>> photos = photo_features(48);
    ASSERT_GE(photos.size(), 40u);
    std::mt19937 random(3);
    for (int width : {DB_INDEX_VALUES, DB_FEATURE_VALUES}) {
        SCOPED_TRACE(width);
        Mirror mirror(width);
        auto fit = [&](std::vector<float> v) {
            v.resize(static_cast<size_t>(width), 0.0f);
            return v;
        };
        int label = 0;
        // A shop's store: half the photos, each with pictures near it (close
        // and very close), random features of all sizes, twins at one
        // distance, a zero vector, and one huge value that coarse bytes lose.
        for (size_t p = 0; p < photos.size() / 2; ++p) {
            mirror.add(fit(photos[p]), label++);
            for (int i = 0; i < 30; ++i) mirror.add(fit(near(photos[p], i % 2 ? 0.01f : 0.0005f, random)), label++);
        }
        for (unsigned seed = 1; seed <= 1500; ++seed)
            mirror.add(fit(scaled(random_feature(seed), seed % 3 == 0 ? 0.01f : 1.0f + seed % 7)), label++);
        for (int twin = 0; twin < 20; ++twin) mirror.add(mirror.held.at(twin * 7), label++);
        mirror.add(std::vector<float>(static_cast<size_t>(width), 0.0f), label++);
        std::vector<float> spiked = fit(photos[0]);
        spiked[5] = 1e6f;
        mirror.add(spiked, label++);

        std::vector<std::vector<float>> queries;
        for (const auto& photo : photos) {
            queries.push_back(fit(photo));
            queries.push_back(fit(near(photo, 0.02f, random)));
        }
        for (unsigned seed = 9001; seed <= 9030; ++seed) queries.push_back(fit(scaled(random_feature(seed), 0.5f)));
        queries.push_back(mirror.held.at(7));                         // a twin: two hits at distance 0
        queries.push_back(std::vector<float>(static_cast<size_t>(width), 0.0f));
        EXPECT_EQ(differing(mirror, queries), 0) << "as stored";

        // Withdrawn samples (the last vector moves into their place), replaced
        // ones and a saved and reloaded index must keep the coarse copy in step.
        for (int gone = 0; gone < label; gone += 5) mirror.remove(gone);
        for (int replaced = 1; replaced < 400; replaced += 9) mirror.add(fit(random_feature(replaced + 50000)), replaced);
        EXPECT_EQ(differing(mirror, queries), 0) << "after withdrawals and replacements";

        mirror.index.saveIndex("index.bin");
        Mirror reloaded(width);
        reloaded.index.loadIndex("index.bin");
        reloaded.held = mirror.held;  // its yardstick is made from these
        EXPECT_EQ(differing(reloaded, queries), 0) << "reloaded";
    }
}

// A query or a stored vector that is not finite cannot be bounded: such a
// search reads every vector, and answers as hnswlib's does.
TEST_F(NearestSearch, NonFiniteValuesFallBackToEveryVector) {
    Mirror mirror(DB_INDEX_VALUES);
    for (unsigned seed = 1; seed <= 300; ++seed) mirror.add(random_feature(seed), static_cast<int>(seed));
    std::vector<float> broken = random_feature(1);
    broken[3] = std::numeric_limits<float>::infinity();
    mirror.add(broken, 1000);
    std::vector<float> nan_query = random_feature(2);
    nan_query[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(mirror.index.Search(random_feature(5).data(), 6), mirror.every_vector(random_feature(5), 6));
    // NaN distances: the same labels in the same places.
    auto labels = [](const Hits& hits) {
        std::vector<int> out;
        for (const auto& hit : hits) out.push_back(std::isnan(hit.first) ? -hit.second : hit.second);
        return out;
    };
    EXPECT_EQ(labels(mirror.index.Search(nan_query.data(), 6)), labels(mirror.every_vector(nan_query, 6)));
}
