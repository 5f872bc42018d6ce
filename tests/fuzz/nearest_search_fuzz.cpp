// The store's exhaustive index narrows each search with a coarse byte copy of
// its vectors; whatever it holds, it must answer what hnswlib's search through
// every vector answers: the same labels in the same order at the same
// distances. The fuzzer adds, replaces and withdraws vectors of small values,
// huge ones (whose distances overflow a float), tiny ones and any float at
// all, and searches with the k of a recognition, the widest searchK and more
// than are held.
#include "fuzz_kit.h"

#include "store/libhnsw.h"

#include <hnswlib/hnswlib.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Hits = std::vector<std::pair<float, int>>;

float value_of(FuzzBytes& bytes) {
    const uint8_t kind = bytes.byte();
    const float step = static_cast<float>(static_cast<int>(bytes.byte()) - 128);
    switch (kind % 5) {
    case 0: return step / 64.0f;
    case 1: return step * 1e30f;   // distances past the float range
    case 2: return step * 1e18f;   // squares near its end
    case 3: return step * 1e-30f;  // below the coarse copy's resolution
    default: return bytes.raw_float();
    }
}

std::vector<float> vector_of(FuzzBytes& bytes, int width) {
    std::vector<float> v(static_cast<size_t>(width));
    // A run of the same value keeps short inputs meaningful at width 160.
    const size_t distinct = 1 + bytes.below(static_cast<uint32_t>(width));
    for (size_t i = 0; i < v.size(); ++i) v[i] = i < distinct ? value_of(bytes) : v[i % distinct];
    return v;
}

Hits every_vector(const std::map<int, std::vector<float>>& held, int width, const std::vector<float>& query, int k,
                  bool* has_nan) {
    hnswlib::L2Space space(static_cast<size_t>(width));
    hnswlib::BruteforceSearch<float> all(&space, std::max<size_t>(1, held.size()));
    for (const auto& entry : held) {
        all.addPoint(entry.second.data(), static_cast<hnswlib::labeltype>(entry.first));
        const float d = space.get_dist_func()(query.data(), entry.second.data(), space.get_dist_func_param());
        if (std::isnan(d)) *has_nan = true;
    }
    Hits hits;
    for (const auto& hit : all.searchKnnCloserFirst(query.data(), std::min<size_t>(static_cast<size_t>(k), held.size())))
        hits.emplace_back(hit.first, static_cast<int>(hit.second));
    return hits;
}

std::string describe(const Hits& hits) {
    std::string text;
    for (const auto& hit : hits) text += "(" + std::to_string(hit.first) + ", " + std::to_string(hit.second) + ") ";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes(data, size);
    // The store's two widths and smaller even ones (hnswlib keeps each label
    // right after its vector, aligned only for even widths).
    static const int kWidths[] = {160, 720, 2, 4, 8, 16, 18, 34};
    const int width = kWidths[bytes.below(8)];
    libhnsw::Index index(width, 512, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100);
    std::map<int, std::vector<float>> held;
    for (int step = 0; step < 400 && bytes.left() > 0; ++step) {
        const uint8_t op = bytes.byte();
        const int label = static_cast<int>(bytes.below(64));
        if (op < 150 && held.size() < 512) {
            const std::vector<float> v = vector_of(bytes, width);
            index.Addsample(v.data(), label);
            held[label] = v;
        } else if (op < 180) {
            FUZZ_CHECK((index.Removesample(label) == 1) == (held.erase(label) == 1), "withdrawal disagrees");
        } else {
            static const int kKs[] = {1, 6, 100, 1000};
            const int k = kKs[op % 4];
            const std::vector<float> query = vector_of(bytes, width);
            bool has_nan = false;
            const Hits expected = every_vector(held, width, query, k, &has_nan);
            const Hits got = index.Search(query.data(), k);
            // NaN distances have no order: both searches then read every
            // vector, but in their own orders.
            if (!has_nan) FUZZ_CHECK(got == expected, "index " + describe(got) + "\nall   " + describe(expected));
        }
    }
    FUZZ_CHECK(index.get_cur_element_count() == static_cast<int>(held.size()), "the index counts another size");
    return 0;
}
