// The feature text both ways. Reading: whatever the text, each piece between
// commas must give exactly the float that strtod's double narrows to, empty
// pieces skipped, never more values than the room given. Writing: any floats
// (infinities, NaNs, the largest) must fit the size the writer announces, and
// read back as strtod reads their text.
#include "fuzz_kit.h"

#include "support/tools.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kWrittenFloats = 16;

// The reading rule in its plainest form.
std::vector<float> strtod_pieces(const std::string& text) {
    std::vector<float> values;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start)
            values.push_back(static_cast<float>(std::strtod(text.substr(start, comma - start).c_str(), nullptr)));
        start = comma + 1;
    }
    return values;
}

bool same_float(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;  // -0 and 0 differ as text makes them
}

void check_read(const std::string& text, const std::vector<float>& expected, int capacity) {
    // Exactly `capacity` floats on the heap: one value too many is an overflow
    // the address sanitizer sees.
    std::unique_ptr<float[]> values(new float[static_cast<size_t>(capacity) + 1]);
    const int read = tool_feature_read(text.c_str(), values.get(), capacity);
    const int want = std::min<int>(capacity, static_cast<int>(expected.size()));
    FUZZ_CHECK(read == want, "read " + std::to_string(read) + " values, strtod finds " + std::to_string(want));
    for (int i = 0; i < read; ++i)
        FUZZ_CHECK(same_float(values[i], expected[i]), "value " + std::to_string(i) + " differs from strtod's");
}

void check_write(const std::vector<float>& values) {
    const int count = static_cast<int>(values.size());
    const size_t size = tool_feature_text_size(values.data(), count);
    std::unique_ptr<char[]> buffer(new char[size]);
    buffer[0] = '\0';
    tool_feature_float_2_char(values.data(), buffer.get(), count);
    const std::string text = buffer.get();
    FUZZ_CHECK(text.size() + 1 == size, "the announced size is not the written one");
    FUZZ_CHECK(text == tool_feature_text(values.data(), count), "the two writers differ");
    FUZZ_CHECK(count == 0 || text.back() == ',', "a feature text ends with a comma");
    check_read(text, strtod_pieces(text), count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader stops at the first NUL, as any C text does.
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const std::vector<float> expected = strtod_pieces(text);
    check_read(text, expected, static_cast<int>(expected.size()) + 1);
    check_read(text, expected, 160);
    check_read(text, expected, static_cast<int>(size % 7));

    // Each float is written on its own, and "%f" of a huge one costs
    // microseconds: a few per input cover the writer, more only cost runs.
    FuzzBytes bytes(data, size);
    std::vector<float> values;
    while (bytes.left() >= 4 && values.size() < kWrittenFloats) values.push_back(bytes.raw_float());
    check_write(values);
    return 0;
}
