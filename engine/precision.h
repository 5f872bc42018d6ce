#pragma once
// The arithmetic the processor runs the network in. The float32 plan runs
// every layer in float32; the int8 plan runs the backbone in int8 on the
// weights and activation ranges the network was quantised with
// (int8_backbone.h) and the feature head and the classes in float32.
// docs/engine.md has the figures behind both constants.

enum class ENGINE_PRECISION { FLOAT32, INT8 };

inline const char* engine_precision_name(ENGINE_PRECISION p) { return p == ENGINE_PRECISION::INT8 ? "int8" : "fp32"; }

// The plan a processor session runs when neither the caller nor the
// environment (QX_ENGINE) chooses one: int8 where it was found faster with
// recognition within 1 point of float32 (val photos, top-1 and top-5, mean of
// 5 galleries at 1, 3 and 5 photos per kind: at most 0.6 points apart).
// x86-64, measured here on one thread: 1.13 x less processor time per forward
// and 1.07 x per TestDetect, without int8 dot-product kernels. The 32-bit
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

// Whether samples learned by one plan may be matched against features of the
// other: a store learned in float32 (every store made before the int8 plan,
// or on a scale whose default is float32) served by the int8 engine as it is,
// and back. Measured with `qxvisor eval --query-engine` on the 196 val photos,
// 5 galleries at each of 1, 3 and 5 photos per kind: a float32 gallery with
// int8 queries 62.1 % top-1 and 93.7 % top-5 against 61.9 % and 93.9 % for
// float32 throughout (an int8 gallery with float32 queries 62.0 % and 93.7 %);
// at no count of photos per kind more than 0.61 points apart, within 1 point.
constexpr bool kFloat32AndInt8Interchangeable = true;
