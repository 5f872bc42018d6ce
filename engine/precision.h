#pragma once
// The arithmetic the processor runs the network in. The float32 plan runs
// every layer in float32; the int8 plan runs the backbone in int8 on the
// weights and activation ranges the network was quantised with
// (int8_backbone.h) and the feature head and the classes in float32.
// docs/engine.md has the figures behind the default; whether the features of
// the two plans may be matched against each other is
// CLSRETRI_CROSS_PRECISION_HOLDS (feature_producer.h).

#include "engine/feature_producer.h"

enum class ENGINE_PRECISION { FLOAT32, INT8 };

inline const char* engine_precision_name(ENGINE_PRECISION p) {
    return p == ENGINE_PRECISION::INT8 ? CLSRETRI_PRECISION_INT8 : CLSRETRI_PRECISION_FP32;
}

// The plan a processor session runs when neither the caller nor the
// environment (QX_ENGINE) chooses one: int8 where it was found faster with
// recognition within 1 point of float32 (val photos, top-1 and top-5, mean of
// 5 galleries at 1, 3 and 5 photos per kind: at most 0.6 points apart).
// x86-64, measured here on one thread, the plans alternated in one run: 1.11 x
// less processor time per forward and 1.12 x per TestDetect, without int8
// dot-product kernels. The 32-bit
// Arm board: the int8 plan moves a quarter of the weight and activation
// bytes, XNNPACK has NEON int8 kernels, and published figures for this
// network on a Cortex-A53 board give 1.36 x; `qxvisor bench` prints both
// plans on the board itself. Float32 on every other processor, where nothing
// was measured.
#if defined(__x86_64__) || defined(__arm__)
constexpr ENGINE_PRECISION kDefaultPrecision = ENGINE_PRECISION::INT8;
#else
constexpr ENGINE_PRECISION kDefaultPrecision = ENGINE_PRECISION::FLOAT32;
#endif
