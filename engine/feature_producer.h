#pragma once
// Which engine made a feature: the identity of the model and the precision the
// network runs in. Features of two producers can be compared only when the
// producers agree (may_serve below); the feature store records the producer of
// its features so that a store is never matched against another engine's
// queries without anybody knowing.
#include <string>

struct CLSRETRI_PRODUCER {
    std::string model;      // SHA-256 of the model file's bytes, 64 lowercase hex digits
    std::string precision;  // CLSRETRI_PRECISION_FP32 or CLSRETRI_PRECISION_INT8
};

constexpr const char* CLSRETRI_PRECISION_FP32 = "fp32";
constexpr const char* CLSRETRI_PRECISION_INT8 = "int8";

// Whether features of one precision may be served to queries of the other
// precision of the same model: a store learned in float32 (every store made
// before the int8 plan, or on a scale whose default is float32) served by the
// int8 engine as it is, and back. It holds when recognition on the val photos
// with a gallery of one precision and queries of the other is within 1 point
// of float32 throughout (top-1 and top-5, mean over galleries). Measured with
// `qxvisor eval --query-engine` on the 196 val photos, 5 galleries at each of
// 1, 3 and 5 photos per kind: a float32 gallery with int8 queries 62.1 % top-1
// and 93.7 % top-5 against 61.9 % and 93.9 % for float32 throughout (an int8
// gallery with float32 queries 62.0 % and 93.7 %); at no count of photos per
// kind more than 0.61 points apart. docs/engine.md has the table.
constexpr bool CLSRETRI_CROSS_PRECISION_HOLDS = true;

enum class CLSRETRI_SERVING {
    kSame,             // the same producer: nothing to do
    kInterchangeable,  // the other precision of the same model, measured to serve as well
    kRecompute,        // anything else: the features must be made again
};

// May a store made by `made_by` be served by an engine that is `serving`?
CLSRETRI_SERVING CLSRETRI_may_serve(const CLSRETRI_PRODUCER& made_by, const CLSRETRI_PRODUCER& serving,
                                    bool cross_precision_holds = CLSRETRI_CROSS_PRECISION_HOLDS);

// What made the features of every store written before stores named their
// producer: the float32 engine on the model shipped until then.
CLSRETRI_PRODUCER CLSRETRI_legacy_producer();

// The identity of the model built into the library, taken at build time.
const char* CLSRETRI_embedded_model_id();

// "2cd8bbd3ec13/fp32": short enough for a log line or a file name.
std::string CLSRETRI_producer_text(const CLSRETRI_PRODUCER& producer);
