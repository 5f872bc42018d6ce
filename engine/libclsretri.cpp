#include "engine/libclsretri.h"

#include "engine/embedded_model.h"
#include "engine/mnn_runtime.h"
#include "support/sha256.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* kCacheFile = ".tempclsretricache";
constexpr const char* kFeatureOutput = "512feature";
constexpr const char* kProbOutput = "prob";
constexpr int kModelSide = 224;
constexpr int kProbClasses = 1000;

constexpr float kMean[3] = {0.0f, 0.0f, 0.0f};
constexpr float kDivisor[3] = {255.0f, 255.0f, 255.0f};
constexpr float kNormal = 1.0f / 255.0f;

// The model's input must be N x 3 x 224 x 224: three planes are written, so a
// model with fewer channels would be written past its end.
bool input_is_model_size(const MNN::Tensor* tensor) {
    const std::vector<int> shape = tensor->shape();
    return shape.size() == 4 && shape[0] >= 1 && shape[1] == 3 && shape[2] == kModelSide && shape[3] == kModelSide;
}

// The picture as 8 bits with 1, 3 or 4 channels (blue-green-red order), or an
// empty Mat when it is in a form the engine does not take. 16-bit pictures use
// their full range; other depths have no agreed range and are refused.
cv::Mat as_8bit(const cv::Mat& picture) {
    const int channels = picture.channels();
    if (picture.dims != 2 || (channels != 1 && channels != 3 && channels != 4)) return cv::Mat();
    if (picture.depth() == CV_8U) return picture;
    if (picture.depth() != CV_16U) return cv::Mat();
    cv::Mat narrowed;
    picture.convertTo(narrowed, CV_8U, 255.0 / 65535.0);
    return narrowed;
}

// A copy of a session tensor in host memory (host-copy rule: the tensor's own
// layout, NCHW when it is not float), null when the copy failed.
std::unique_ptr<MNN::Tensor> host_copy(const MNN::Tensor* tensor) {
    const bool is_float = tensor->getType().code == halide_type_float;
    const auto layout = is_float ? tensor->getDimensionType() : MNN::Tensor::CAFFE;
    auto host = std::make_unique<MNN::Tensor>(tensor, layout);
    if (!tensor->copyToHostTensor(host.get())) return nullptr;
    return host;
}

std::atomic<int> g_thread_setting{0};

// A forced count: QX_ENGINE_THREADS where the host sets it, then the setting;
// 0 when the session is to choose.
int forced_threads() {
    if (const char* text = std::getenv("QX_ENGINE_THREADS")) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value >= 1 && value <= 64) return static_cast<int>(value);
    }
    return g_thread_setting.load();
}

// A forced count, or up to 4 threads (never more than the processor has
// cores) of which the session keeps one unless more win clearly on its own
// forwards (thread_choice.h). Threads only pay off on free cores: where other
// work keeps them busy, every hand-over between layers waits for a time slice,
// and one thread is several times faster.
MNN::BackendConfig engine_threads(MNN::ScheduleConfig& config) {
    MNN::BackendConfig backend;
    const int forced = forced_threads();
    config.numThread = forced > 0 ? forced : 4;
    backend.chooseThreads = forced == 0;
    return backend;
}

bool holds_float32(const MNN::Tensor* tensor) { return tensor->getType() == halide_type_t(halide_type_float, 32); }

}  // namespace

void CLSRETRI_SetThreadSetting(int threads) { g_thread_setting = threads >= 1 && threads <= 64 ? threads : 0; }

namespace {

// The model from the file, or the one built into the library when no path is given.
std::shared_ptr<MNN::Interpreter> load_model(const char* model_path) {
    if (model_path) return std::shared_ptr<MNN::Interpreter>(MNN::Interpreter::createFromFile(model_path));
    std::printf("use embedded model!\n");
    return std::shared_ptr<MNN::Interpreter>(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
}

// The session on the device asked for; a graphics processor that cannot serve
// falls back to the processor silently, and `device` then records 0.
MNN::Session* open_session(MNN::Interpreter& interpreter, _CLSRETRI_DEVICE_& device) {
    MNN::ScheduleConfig config;
    MNN::BackendConfig backend = engine_threads(config);
    config.backendConfig = &backend;
    if (device == CLSRETRI_DEVICE_GPU) {
        config.type = MNN_FORWARD_OPENCL;
        std::printf("use gpu!\n");
        interpreter.setCacheFile(kCacheFile, 128);
    } else {
        config.type = MNN_FORWARD_CPU;
        std::printf("use cpu!\n");
    }
    std::fflush(stdout);
    MNN::Session* session = interpreter.createSession(config);
    if (session) return session;
    device = CLSRETRI_DEVICE_CPU;
    config.type = MNN_FORWARD_CPU;
    return interpreter.createSession(config);
}

// The image converter of the converter-based preprocessing.
MNN::CV::ImageProcess* make_converter() {
    MNN::CV::ImageProcess::Config convert;
    convert.filterType = MNN::CV::NEAREST;
    convert.sourceFormat = MNN::CV::BGR;
    convert.destFormat = MNN::CV::RGB;
    for (int c = 0; c < 3; ++c) {
        convert.mean[c] = kMean[c];
        convert.normal[c] = kNormal;
    }
    convert.wrap = MNN::CV::CLAMP_TO_EDGE;
    return MNN::CV::ImageProcess::create(convert);
}

}  // namespace

int CLSRETRI_Init(const char* model_path, _CLSRETRI_DEVICE_ device, void** handle) {
    if (!handle) return CLSRETRI_ERR_NULL_HANDLE;
    std::shared_ptr<MNN::Interpreter> interpreter = load_model(model_path);
    if (!interpreter) return CLSRETRI_ERR_MODEL_LOAD;
    const std::string model_id = model_path ? sha256_of_file(model_path) : CLSRETRI_embedded_model_id();
    _CLSRETRI_DEVICE_ recorded = device;
    MNN::Session* session = open_session(*interpreter, recorded);
    if (!session) return CLSRETRI_ERR_SESSION_CREATE;

    MNN::Tensor* input = interpreter->getSessionInput(session, nullptr);
    MNN::Tensor* feature = interpreter->getSessionOutput(session, kFeatureOutput);
    MNN::Tensor* prob = interpreter->getSessionOutput(session, kProbOutput);
    if (!input) return CLSRETRI_ERR_NO_INPUT;
    if (!feature) return CLSRETRI_ERR_NO_FEATURE;
    if (!prob) return CLSRETRI_ERR_NO_PROB;
    std::unique_ptr<MNN::CV::ImageProcess, void (*)(MNN::CV::ImageProcess*)> pretreat(make_converter(),
                                                                                       MNN::CV::ImageProcess::destroy);
    if (!pretreat) return CLSRETRI_ERR_SESSION_CREATE;

    auto* created = new CLSRETRI_HANDLE;
    created->interpreter = std::move(interpreter);
    created->session = session;
    created->input_tensor = input;
    created->feat_tensor = feature;
    created->prob_tensor = prob;
    created->pretreat = pretreat.release();
    created->device = recorded;
    // The plan the session actually runs: int8 falls back to float32 on a
    // model it cannot map, and a store must record what made its features.
    created->producer = {model_id, created->interpreter->sessionPrecision(session)};
    *handle = created;
    return 0;
}

int CLSRETRI_Process(_CLSRETRI_INPUT_ input, _CLSRETRI_OUTPUT_* output, void* handle) {
    if (!handle) return CLSRETRI_ERR_NULL_HANDLE;
    if (input.image.empty()) return CLSRETRI_ERR_INPUT_EMPTY;
    if (!output) return CLSRETRI_ERR_NULL_OUTPUT;
    auto* engine = static_cast<CLSRETRI_HANDLE*>(handle);
    const std::shared_ptr<MNN::Interpreter> interpreter = engine->interpreter;

    int result = CLSRETRI_preprocess_opencv(input, engine->input_tensor, engine);
    if (result != 0) return result;
    // A pass that did not run would leave the previous picture's outputs in
    // place, so its status is the one thing checked.
    if (interpreter->runSession(engine->session) != MNN::NO_ERROR) return CLSRETRI_ERR_RUN_SESSION;
    result = CLSRETRI_postprocess_cls(engine->prob_tensor, output->cls, engine);
    if (result != 0) return result;
    return CLSRETRI_postprocess_feat(engine->feat_tensor, output->feature, engine);
}

int CLSRETRI_GetInfo(void* handle, const char* key, void* value) {
    if (!handle) return CLSRETRI_ERR_NULL_HANDLE;
    const bool device = key && std::strcmp(key, "running_device") == 0;
    const bool producer = key && std::strcmp(key, "feature_producer") == 0;
    if (!device && !producer) return CLSRETRI_ERR_UNKNOWN_KEY;
    if (!value) return CLSRETRI_ERR_NULL_OUTPUT;
    const auto* engine = static_cast<CLSRETRI_HANDLE*>(handle);
    if (device)
        *static_cast<int*>(value) = static_cast<int>(engine->device);
    else
        *static_cast<CLSRETRI_PRODUCER*>(value) = engine->producer;
    return 0;
}

int CLSRETRI_Release(void** handle) {
    if (!handle || !*handle) return CLSRETRI_ERR_NULL_HANDLE;
    auto* engine = static_cast<CLSRETRI_HANDLE*>(*handle);
    const std::shared_ptr<MNN::Interpreter> interpreter = engine->interpreter;
    if (engine->session) {
        if (!interpreter->releaseSession(engine->session)) return CLSRETRI_ERR_SESSION_RELEASE;
        engine->session = nullptr;
    }
    MNN::CV::ImageProcess::destroy(engine->pretreat);
    delete engine;
    *handle = nullptr;
    return 0;
}

int CLSRETRI_preprocess_opencv(_CLSRETRI_INPUT_ input, MNN::Tensor* tensor, CLSRETRI_HANDLE*) {
    if (!input_is_model_size(tensor)) return CLSRETRI_ERR_INPUT_SHAPE;
    const cv::Mat picture = as_8bit(input.image);
    if (picture.empty()) return CLSRETRI_ERR_INPUT_FORMAT;

    // Resizing before the colour swap gives the same values as swapping first
    // (each channel is resampled on its own) at a fraction of the cost; the
    // swap then is just the order in which the planes are written.
    const std::vector<int> shape = tensor->shape();
    const int height = shape[2], width = shape[3];
    cv::Mat resized;
    cv::resize(picture, resized, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);

    // Every 8-bit value maps to (v - mean) / divisor, computed as a division.
    float table[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) table[c][v] = (static_cast<float>(v) - kMean[c]) / kDivisor[c];

    const int step = resized.channels();
    const int red = step == 1 ? 0 : 2, green = step == 1 ? 0 : 1, blue = 0;
    MNN::Tensor host(tensor, MNN::Tensor::CAFFE);
    float* r_plane = host.host<float>();
    float* g_plane = r_plane + static_cast<size_t>(height) * width;
    float* b_plane = g_plane + static_cast<size_t>(height) * width;
    for (int y = 0; y < height; ++y) {
        const uint8_t* pixel = resized.ptr<uint8_t>(y);
        for (int x = 0; x < width; ++x, pixel += step) {
            *r_plane++ = table[0][pixel[red]];
            *g_plane++ = table[1][pixel[green]];
            *b_plane++ = table[2][pixel[blue]];
        }
    }
    // Further pictures of a batch are left empty.
    std::fill(b_plane, host.host<float>() + host.elementSize(), 0.0f);
    tensor->copyFromHostTensor(&host);
    return 0;
}

int CLSRETRI_preprocess_mnncv(_CLSRETRI_INPUT_ input, MNN::Tensor* tensor, CLSRETRI_HANDLE* handle) {
    if (!input_is_model_size(tensor)) return CLSRETRI_ERR_INPUT_SHAPE;
    if (!handle || !handle->pretreat) return CLSRETRI_ERR_NULL_HANDLE;
    // The converter reads the bytes as blue-green-red triples; anything else
    // would be misread or read past its end.
    const cv::Mat& picture = input.image;
    if (picture.empty() || picture.dims != 2 || picture.type() != CV_8UC3) return CLSRETRI_ERR_INPUT_FORMAT;

    const std::vector<int> shape = tensor->shape();
    const int height = shape[2], width = shape[3];
    MNN::CV::Matrix trans;
    trans.postScale(static_cast<float>(1.0 / width), static_cast<float>(1.0 / height));
    trans.postScale(1.0f, -1.0f, 0.0f, 0.5f);
    trans.postScale(static_cast<float>(picture.cols), static_cast<float>(picture.rows));
    handle->pretreat->setMatrix(trans);
    // The real row length, so that a crop of a larger frame is read correctly.
    handle->pretreat->convert(picture.data, picture.cols, picture.rows, static_cast<int>(picture.step[0]), tensor);
    return 0;
}

int CLSRETRI_postprocess_cls(MNN::Tensor* prob, _CLSRETRI_CLS_RET_* results, CLSRETRI_HANDLE*) {
    const std::vector<int> shape = prob->shape();
    if (shape.size() < 2 || shape[1] != kProbClasses) return CLSRETRI_ERR_PROB_SHAPE;
    const std::unique_ptr<MNN::Tensor> host = host_copy(prob);
    const int n = host ? host->elementSize() : 0;
    std::vector<std::pair<int, float>> ranking(n, {0, 0.0f});
    if (host && holds_float32(host.get())) {
        const float* values = host->host<float>();
        for (int i = 0; i < n; ++i) ranking[i] = {i, values[i]};
    }
    // Highest first; a NaN score ranks below every number, so that the order
    // stays a strict weak ordering.
    std::sort(ranking.begin(), ranking.end(), [](const auto& a, const auto& b) {
        return a.second > b.second || (!std::isnan(a.second) && std::isnan(b.second));
    });
    const int k = std::min(n, CLSRETRI_TOP_CLASSES);
    for (int i = 0; i < k; ++i) {
        results[i].score = ranking[i].second;
        results[i].class_index = ranking[i].first;
    }
    return 0;
}

int CLSRETRI_postprocess_feat(MNN::Tensor* feature, float* values, CLSRETRI_HANDLE*) {
    const std::vector<int> shape = feature->shape();
    if (shape.empty() || shape[0] != CLSRETRI_FEATURE_SIZE || feature->elementSize() < CLSRETRI_FEATURE_SIZE)
        return CLSRETRI_ERR_FEATURE_SHAPE;
    const std::unique_ptr<MNN::Tensor> host = host_copy(feature);
    if (host && holds_float32(host.get()))
        std::memcpy(values, host->host<float>(), CLSRETRI_FEATURE_SIZE * sizeof(float));
    return 0;
}
