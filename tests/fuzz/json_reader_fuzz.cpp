// The one JSON reader of the library against the parser underneath it, used
// bare: it must accept exactly the documents that parse and nest no deeper
// than its limit, and what it accepts must survive being written compactly
// and read again (the library writes back what it reads: bindings, crop area)
// as the same values. A number past the double range is refused too. Numbers
// with a fraction or an exponent may come back a few units in the last place
// apart: the parser's default reading of a long decimal is not always the
// nearest double (its exact reading passes zero to clz() in this RapidJSON),
// and the library reads only whole numbers.
#include "fuzz_kit.h"

#include "support/json.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// Levels of arrays and objects, walked without recursion; a number that is
// not finite counts as too deep.
int depth_of(const rapidjson::Value& root) {
    int deepest = 0;
    std::vector<std::pair<const rapidjson::Value*, int>> pending = {{&root, 0}};
    while (!pending.empty()) {
        const auto [value, level] = pending.back();
        pending.pop_back();
        if (value->IsDouble() && !std::isfinite(value->GetDouble())) return kJsonMaxDepth + 1;
        if (value->IsArray()) {
            deepest = std::max(deepest, level + 1);
            for (const auto& item : value->GetArray()) pending.emplace_back(&item, level + 1);
        } else if (value->IsObject()) {
            deepest = std::max(deepest, level + 1);
            for (const auto& member : value->GetObject()) pending.emplace_back(&member.value, level + 1);
        }
    }
    return deepest;
}

// At most four units in the last place apart, counted on the doubles' bits:
// a relative bound would be too tight below the normal range, where a unit
// in the last place is a larger part of the value.
bool close_numbers(const rapidjson::Value& a, const rapidjson::Value& b) {
    if (!a.IsDouble() || !b.IsDouble()) return a == b;
    const double x = a.GetDouble(), y = b.GetDouble();
    if (x == y) return true;
    if (std::signbit(x) != std::signbit(y)) return false;
    int64_t bits_x, bits_y;
    std::memcpy(&bits_x, &x, sizeof x);
    std::memcpy(&bits_y, &y, sizeof y);
    return std::max(bits_x, bits_y) - std::min(bits_x, bits_y) <= 4;
}

// The same tree, names and texts exactly, numbers as close_numbers says;
// walked without recursion.
bool same_values(const rapidjson::Value& first, const rapidjson::Value& second) {
    std::vector<std::pair<const rapidjson::Value*, const rapidjson::Value*>> pending = {{&first, &second}};
    while (!pending.empty()) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (a->GetType() != b->GetType()) return false;
        if (a->IsArray()) {
            if (a->Size() != b->Size()) return false;
            for (rapidjson::SizeType i = 0; i < a->Size(); ++i) pending.emplace_back(&(*a)[i], &(*b)[i]);
        } else if (a->IsObject()) {
            if (a->MemberCount() != b->MemberCount()) return false;
            for (auto x = a->MemberBegin(), y = b->MemberBegin(); x != a->MemberEnd(); ++x, ++y) {
                if (x->name != y->name) return false;
                pending.emplace_back(&x->value, &y->value);
            }
        } else if (!close_numbers(*a, *b)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    rapidjson::Document document;
    const bool accepted = json_parse(text, document);

    rapidjson::Document bare;
    bare.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    const bool parses = !bare.HasParseError();
    const bool within = parses && depth_of(bare) <= kJsonMaxDepth;
    FUZZ_CHECK(!accepted || within, "accepted a text that does not parse, nests too deep or holds infinity");
    FUZZ_CHECK(accepted || !within || std::memchr(data, '\0', size),
               "refused a finite document that parses and nests within the limit");
    if (!accepted) {
        FUZZ_CHECK(document.IsNull(), "a refused text left a value behind");
        return 0;
    }
    // Compared in order, member by member: a name may stand twice in an object.
    FUZZ_CHECK(same_values(document, bare), "the reader's document differs from the parser's");

    const std::string compact = json_compact(document);
    rapidjson::Document again;
    FUZZ_CHECK(json_parse(compact, again), "the compact form of a document read is refused");
    FUZZ_CHECK(same_values(again, document), "the compact form reads back as another document");
    return 0;
}
