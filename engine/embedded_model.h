#pragma once
// The files built into the library (see engine/CMakeLists.txt): the float32
// model, and the quantised network the int8 plan takes its weights and
// activation ranges from. Hidden: the symbols never leave libQxVisor.so.
#include <cstddef>

extern "C" {
extern const unsigned char embedded_model_data[] __attribute__((visibility("hidden")));
extern const size_t embedded_model_size __attribute__((visibility("hidden")));
extern const unsigned char embedded_int8_source_data[] __attribute__((visibility("hidden")));
extern const size_t embedded_int8_source_size __attribute__((visibility("hidden")));
}
