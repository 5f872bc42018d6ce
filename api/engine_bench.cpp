// qx_ai_enginebench: the engine's back ends timed on this device.
#include "qx_ai.h"

#include "api/gate.h"
#include "engine/runtime_bench.h"

#include <algorithm>
#include <cstring>
#include <string>

int qx_ai_enginebench(int forwards, char* out, int out_size) {
    // Its own engines only, never the library's: no Init needed, nothing to lock
    // beyond keeping Init and Close out while it runs.
    return qx_gated("qx_ai_enginebench", QX_ERR_INTERNAL, QxAccess::kAny, [&] {
        if (forwards < 1 || forwards > 1000 || out_size < 0 || (!out && out_size > 0)) return QX_ERR_ARGUMENT;
        if (out_size > 0) out[0] = '\0';
        const std::string report = CLSRETRI_RuntimeBench(forwards);
        if (out_size > 0) {
            const size_t kept = std::min(report.size(), static_cast<size_t>(out_size) - 1);  // the report is ASCII
            std::memcpy(out, report.data(), kept);
            out[kept] = '\0';
        }
        return static_cast<int>(report.size());
    });
}
