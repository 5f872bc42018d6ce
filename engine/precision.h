#pragma once
// The arithmetic the processor runs the network in. The float32 plan runs
// every layer in float32; the int8 plan runs the backbone in int8 on the
// weights and activation ranges the network was quantised with
// (int8_backbone.h) and the feature head and the classes in float32.
// docs/engine.md has the figures behind both constants.

enum class ENGINE_PRECISION { FLOAT32, INT8 };

inline const char* engine_precision_name(ENGINE_PRECISION p) { return p == ENGINE_PRECISION::INT8 ? "int8" : "fp32"; }

// The plan a processor session runs when neither the caller nor the
// environment (QX_ENGINE) chooses one.
constexpr ENGINE_PRECISION kDefaultPrecision = ENGINE_PRECISION::FLOAT32;
