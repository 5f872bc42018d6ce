// Which engine made a feature, and which stores an engine may serve as they are.
#include "engine/feature_producer.h"
#include "engine/libclsretri.h"
#include "engine/precision.h"
#include "engine_test_support.h"
#include "support/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Sha256, GivesTheStandardDigestsHoweverTheBytesArrive) {
    struct Case {
        std::string text;
        size_t piece;  // bytes per update
        const char* digest;
    } const cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block's end.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 997, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(1000000, 'a'), 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        Sha256 digest;
        for (size_t at = 0; at < c.text.size(); at += c.piece)
            digest.update(c.text.data() + at, std::min(c.piece, c.text.size() - at));
        EXPECT_EQ(digest.hex(), c.digest) << c.text.size() << " bytes in pieces of " << c.piece;
    }
    EXPECT_EQ(sha256_of_file("no-such-file"), "");
    EXPECT_EQ(sha256_of_file("."), "");
}

// The identity taken at build time is the model file's digest, and it is what
// stores made before the record existed are taken to be made with.
TEST(FeatureProducer, EngineNamesTheModelItRunsAndItsPrecision) {
    const std::string shipped = shared_path("models/produce_mnv2_160.onnx");
    EXPECT_EQ(CLSRETRI_embedded_model_id(), sha256_of_file(shipped.c_str()));
    EXPECT_EQ(CLSRETRI_legacy_producer().model, sha256_of_file(shipped.c_str()));
    EXPECT_EQ(CLSRETRI_legacy_producer().precision, CLSRETRI_PRECISION_FP32);

    // The precision is the plan that runs: int8 only where the int8 plan can
    // map the model, and the opencv back end is float32.
    const std::string tiny = tiny_model("tiny_contract");
    const char* build_default = engine_precision_name(kDefaultPrecision);
    struct Case {
        const char* backend;  // QX_ENGINE
        std::string model;    // "": the built-in one
        const char* precision;
    } const cases[] = {
        {"", "", build_default},
        {"int8", "", CLSRETRI_PRECISION_INT8},
        {"int8", shipped, CLSRETRI_PRECISION_INT8},
        {"int8", tiny, CLSRETRI_PRECISION_FP32},
        {"fp32", "", CLSRETRI_PRECISION_FP32},
        {"opencv", shipped, CLSRETRI_PRECISION_FP32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("QX_ENGINE=") + c.backend + " " + c.model);
        void* handle = engine_on(c.backend, c.model.empty() ? nullptr : c.model.c_str());
        ASSERT_NE(handle, nullptr);
        CLSRETRI_PRODUCER producer;
        EXPECT_EQ(CLSRETRI_GetInfo(handle, "feature_producer", &producer), 0);
        EXPECT_EQ(producer.model, c.model.empty() ? CLSRETRI_embedded_model_id() : sha256_of_file(c.model.c_str()));
        EXPECT_EQ(producer.precision, c.precision);
        EXPECT_EQ(CLSRETRI_GetInfo(handle, "feature_producer", nullptr), CLSRETRI_ERR_NULL_OUTPUT);
        CLSRETRI_Release(&handle);
    }
}

TEST(FeatureProducer, StoreIsServedAsItIsOnlyByAnEngineItsFeaturesCompareWith) {
    const std::string model = CLSRETRI_embedded_model_id();
    const std::string other = std::string(64, 'f');
    const CLSRETRI_PRODUCER fp32{model, CLSRETRI_PRECISION_FP32}, int8{model, CLSRETRI_PRECISION_INT8};
    using S = CLSRETRI_SERVING;
    struct Case {
        const char* what;
        CLSRETRI_PRODUCER made_by, serving;
        bool holds;
        S expected;
    } const cases[] = {
        {"same producer", fp32, fp32, false, S::kSame},
        {"same int8 producer", int8, int8, false, S::kSame},
        {"other precision, not measured alike", int8, fp32, false, S::kRecompute},
        {"fp32 store, int8 engine, not measured alike", fp32, int8, false, S::kRecompute},
        {"other precision, measured alike", int8, fp32, true, S::kInterchangeable},
        {"fp32 store, int8 engine, measured alike", fp32, int8, true, S::kInterchangeable},
        {"other model", {other, CLSRETRI_PRECISION_FP32}, fp32, true, S::kRecompute},
        {"other model, other precision", {other, CLSRETRI_PRECISION_INT8}, fp32, true, S::kRecompute},
        {"record naming no model", {"", CLSRETRI_PRECISION_FP32}, {"", CLSRETRI_PRECISION_FP32}, true, S::kRecompute},
        {"unknown precision", {model, "fp16"}, fp32, true, S::kRecompute},
        {"unknown precision on both sides", {model, "fp16"}, {model, "fp16"}, false, S::kSame},
        {"no precision", {model, ""}, {model, ""}, true, S::kRecompute},
    };
    for (const Case& c : cases) EXPECT_EQ(CLSRETRI_may_serve(c.made_by, c.serving, c.holds), c.expected) << c.what;
    // Today's engine serves every store made before stores recorded their producer.
    EXPECT_EQ(CLSRETRI_may_serve(CLSRETRI_legacy_producer(), fp32), S::kSame);
    EXPECT_EQ(CLSRETRI_producer_text(fp32), model.substr(0, 12) + "/fp32");
}

}  // namespace
