#include "engine/feature_producer.h"

namespace {

// SHA-256 of produce_mnv2_160.onnx, the one model stores were made with
// before they recorded their producer.
constexpr const char* kLegacyModel = "2cd8bbd3ec13a471ed15f66165b923b2d33b599e41c46bee16ea72782c20bee8";

bool known_precision(const std::string& precision) {
    return precision == CLSRETRI_PRECISION_FP32 || precision == CLSRETRI_PRECISION_INT8;
}

}  // namespace

CLSRETRI_SERVING CLSRETRI_may_serve(const CLSRETRI_PRODUCER& made_by, const CLSRETRI_PRODUCER& serving,
                                    bool cross_precision_holds) {
    // An empty or garbled record names no model at all: never the engine's.
    if (made_by.model.empty() || made_by.model != serving.model) return CLSRETRI_SERVING::kRecompute;
    if (!made_by.precision.empty() && made_by.precision == serving.precision) return CLSRETRI_SERVING::kSame;
    // Only the two precisions measured against each other may stand in for each other.
    const bool pair = known_precision(made_by.precision) && known_precision(serving.precision);
    return pair && cross_precision_holds ? CLSRETRI_SERVING::kInterchangeable : CLSRETRI_SERVING::kRecompute;
}

CLSRETRI_PRODUCER CLSRETRI_legacy_producer() { return {kLegacyModel, CLSRETRI_PRECISION_FP32}; }

const char* CLSRETRI_embedded_model_id() { return QX_EMBEDDED_MODEL_SHA256; }

std::string CLSRETRI_producer_text(const CLSRETRI_PRODUCER& producer) {
    const std::string model = producer.model.empty() ? "(no model)" : producer.model.substr(0, 12);
    return model + "/" + (producer.precision.empty() ? "(no precision)" : producer.precision.substr(0, 8));
}
