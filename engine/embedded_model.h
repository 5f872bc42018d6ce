#pragma once
// The model built into the library (see engine/CMakeLists.txt). Hidden: the
// symbols never leave libQxVisor.so.
#include <cstddef>

extern "C" {
extern const unsigned char embedded_model_data[] __attribute__((visibility("hidden")));
extern const size_t embedded_model_size __attribute__((visibility("hidden")));
}
