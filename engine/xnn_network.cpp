// XnnNetwork: the importer's subgraph (xnn_importer.h) planned on XNNPACK
// runtimes, the thread pool, the input and output buffers, and the forward pass.
#include "engine/xnn_network.h"

#include "engine/xnn_importer.h"

#include <pthreadpool.h>
#include <xnnpack.h>

#if defined(__arm__) || defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

using xnn_import::Dims;
using xnn_import::element_count;

namespace {

constexpr size_t kExtraFloats = (XNN_EXTRA_BYTES + sizeof(float) - 1) / sizeof(float);

}  // namespace

struct XnnNetwork::State {
    // The plan on the caller's thread alone, and the plan on the pool; either
    // may be missing, never both once the network is made.
    xnn_runtime_t alone = nullptr;
    xnn_runtime_t pooled = nullptr;
    pthreadpool_t pool = nullptr;
    // Kept for a pool plan made after the network: the graph, and the input and
    // output buffers every plan is bound to.
    xnn_subgraph_t subgraph = nullptr;
    std::vector<xnn_external_value> externals;
    xnn_import::Statics statics;
    Dims input_nchw;
    std::vector<float> input;  // NHWC, with XNNPACK's read-ahead slack
    struct OutputBuffer {
        uint32_t id;
        xnn_import::Value value;
        std::vector<float> raw;   // as XNNPACK writes it, with slack
        std::vector<float> nchw;  // 4-D outputs turned back to NCHW
    };
    std::vector<OutputBuffer> outputs;

    ~State() {
        if (alone) xnn_delete_runtime(alone);
        if (pooled) xnn_delete_runtime(pooled);
        if (pool) pthreadpool_destroy(pool);
        if (subgraph) xnn_delete_subgraph(subgraph);
    }
};

namespace {

// Each pool thread, the caller's included, takes one item and holds it until
// every thread has one, so no thread can take two; each notes its clock. The
// wait is bounded in case the pool ever hands out items differently.
struct ClockGathering {
    pthread_t caller = pthread_self();
    size_t threads = 0;
    std::mutex mutex;
    std::vector<clockid_t> clocks;
    std::atomic<size_t> arrived{0};

    static void take(void* context, size_t) {
        auto& g = *static_cast<ClockGathering*>(context);
        clockid_t clock;
        if (!pthread_equal(pthread_self(), g.caller) && pthread_getcpuclockid(pthread_self(), &clock) == 0) {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.clocks.push_back(clock);
        }
        g.arrived.fetch_add(1);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (g.arrived.load() < g.threads && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    }
};

std::vector<clockid_t> pool_worker_clocks(pthreadpool_t pool) {
    ClockGathering gathering;
    gathering.threads = pthreadpool_get_threads_count(pool);
    pthreadpool_parallelize_1d(pool, &ClockGathering::take, &gathering, gathering.threads, PTHREADPOOL_FLAG_YIELD_WORKERS);
    if (gathering.clocks.size() + 1 != gathering.threads) return {};
    return gathering.clocks;
}

void no_work(void*, size_t) {}

// The runtime's yield travels with its last operator, and a last operator too
// small to share (the network ends in a few hundred values) runs on the caller
// without waking the pool: the workers then spin on, awake, for milliseconds
// after the forward, taking a core from what the recognition does next and
// looking to the thread choice like another program's load. One item per
// thread with the yield flag sends them to sleep at once.
void send_workers_to_sleep(pthreadpool_t pool) {
    if (pool)
        pthreadpool_parallelize_1d(pool, &no_work, nullptr, pthreadpool_get_threads_count(pool),
                                   PTHREADPOOL_FLAG_YIELD_WORKERS);
}

bool xnnpack_ready() {
    static const bool ready = xnn_initialize(nullptr) == xnn_status_success;
    return ready;
}

}  // namespace

XnnNetwork::XnnNetwork() : state_(std::make_unique<State>()) {}

XnnNetwork::~XnnNetwork() = default;

bool XnnNetwork::has_pool_plan() const { return state_->pooled != nullptr; }

bool XnnNetwork::make_pool_plan() {
    State& st = *state_;
    if (st.pooled) return true;
    if (threads_ < 2 || !st.subgraph) return false;
    st.pool = pthreadpool_create(static_cast<size_t>(threads_));
    // Idle workers sleep between forwards instead of spinning on the board's
    // few cores (with send_workers_to_sleep() after each forward). Only between
    // forwards: between two layers of one forward a worker without work still
    // spins, which is why the thread count is chosen by measurement
    // (thread_choice.h).
    if (st.pool && xnn_create_runtime_v2(st.subgraph, st.pool, XNN_FLAG_YIELD_WORKERS, &st.pooled) == xnn_status_success &&
        xnn_setup_runtime(st.pooled, st.externals.size(), st.externals.data()) == xnn_status_success) {
        threads_ = static_cast<int>(pthreadpool_get_threads_count(st.pool));
        worker_clocks_ = pool_worker_clocks(st.pool);
        return true;
    }
    drop_pool_plan();
    return false;
}

void XnnNetwork::drop_pool_plan() {
    State& st = *state_;
    if (!st.alone) return;  // the only plan stays
    if (st.pooled) xnn_delete_runtime(st.pooled);
    if (st.pool) pthreadpool_destroy(st.pool);
    st.pooled = nullptr;
    st.pool = nullptr;
    worker_clocks_.clear();
}

std::unique_ptr<XnnNetwork> XnnNetwork::create(const ONNX_GRAPH& graph, const std::vector<int>& input_shape,
                                               int threads, bool pool_later, const INT8_BACKBONE* int8,
                                               std::string& why) {
    if (!xnnpack_ready()) {
        why = "XNNPACK cannot start on this processor";
        return nullptr;
    }
    std::unique_ptr<XnnNetwork> net(new XnnNetwork());
    net->int8_ = int8 != nullptr;
    State& st = *net->state_;
    if (xnn_create_subgraph(static_cast<uint32_t>(graph.outputs.size() + 1), 0, &st.subgraph) != xnn_status_success) {
        why = "XNNPACK could not make a subgraph";
        return nullptr;
    }
    xnn_import::Importer importer(graph, st.subgraph, st.statics, int8, why);
    if (!importer.run(input_shape)) return nullptr;
    st.input_nchw = importer.input_nchw();
    std::vector<xnn_import::Value> outputs;
    for (const std::string& name : graph.outputs) outputs.push_back(*importer.value(name));
    net->bind(graph.outputs, outputs);
    if (!net->plan(threads, pool_later)) {
        why = "XNNPACK could not plan the graph";
        return nullptr;
    }
    return net;
}

// The input and output buffers, which every plan binds: they never move.
void XnnNetwork::bind(const std::vector<std::string>& names, const std::vector<xnn_import::Value>& values) {
    State& st = *state_;
    std::vector<xnn_external_value>& externals = st.externals;
    st.input.assign(element_count(st.input_nchw) + kExtraFloats, 0.0f);
    externals.push_back({0, st.input.data()});
    st.outputs.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        State::OutputBuffer& out = st.outputs[i];
        out.id = static_cast<uint32_t>(i + 1);
        out.value = values[i];
        const size_t count = element_count(out.value.dims);
        out.raw.assign(count + kExtraFloats, 0.0f);
        if (out.value.nhwc) out.nchw.assign(count, 0.0f);
        externals.push_back({out.id, out.raw.data()});
        Output shown{names[i], {}, out.value.nhwc ? out.nchw.data() : out.raw.data()};
        for (size_t d : out.value.dims) shown.shape.push_back(static_cast<int>(d));
        outputs_.push_back(std::move(shown));
    }
}

// The first plan: on the pool of `threads` right away, or on the caller's
// thread (one thread, or a pool to be made later). A pool of one would only
// add a hand-over.
bool XnnNetwork::plan(int threads, bool pool_later) {
    State& st = *state_;
    threads_ = std::max(1, threads);
    if (threads_ > 1 && !pool_later) return make_pool_plan();
    return xnn_create_runtime_v2(st.subgraph, nullptr, 0, &st.alone) == xnn_status_success &&
           xnn_setup_runtime(st.alone, st.externals.size(), st.externals.data()) == xnn_status_success;
}

bool XnnNetwork::run(const float* input, bool on_pool) {
    State& st = *state_;
    const size_t n = st.input_nchw[0], c = st.input_nchw[1], plane = st.input_nchw[2] * st.input_nchw[3];
    for (size_t b = 0; b < n; ++b) {
        const float* src = input + b * c * plane;
        float* dst = st.input.data() + b * c * plane;
        for (size_t ch = 0; ch < c; ++ch)
            for (size_t i = 0; i < plane; ++i) dst[i * c + ch] = src[ch * plane + i];
    }
    xnn_runtime_t runtime = (on_pool && st.pooled) || !st.alone ? st.pooled : st.alone;
    const bool invoked = xnn_invoke_runtime(runtime) == xnn_status_success;
    if (runtime == st.pooled) send_workers_to_sleep(st.pool);
    if (!invoked) return false;
    for (State::OutputBuffer& out : st.outputs) {
        if (!out.value.nhwc) continue;
        const size_t on = out.value.dims[0], oc = out.value.dims[1], op = out.value.dims[2] * out.value.dims[3];
        for (size_t b = 0; b < on; ++b)
            for (size_t ch = 0; ch < oc; ++ch)
                for (size_t i = 0; i < op; ++i)
                    out.nchw[(b * oc + ch) * op + i] = out.raw[(b * op + i) * oc + ch];
    }
    return true;
}

std::string XnnNetwork::kernel_isa() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return "x86 AVX-512F";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "x86 AVX2+FMA3";
    if (__builtin_cpu_supports("avx")) return "x86 AVX";
    return "x86 SSE";
#elif defined(__aarch64__)
    return "AArch64 NEON with FMA";
#elif defined(__arm__)
    const unsigned long hwcap = getauxval(AT_HWCAP);
    if (!(hwcap & HWCAP_ARM_NEON)) return "ARM without NEON (XNNPACK does not start)";
    return (hwcap & HWCAP_ARM_VFPv4) ? "ARMv7 NEON with FMA (VFPv4)" : "ARMv7 NEON";
#else
    return "scalar";
#endif
}

namespace {

#if defined(__arm__)
// The architecture version the kernel reports for the first core, as the
// library XNNPACK asks about the processor reads it (0 when not told).
int arm_architecture() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("CPU architecture", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        }
    return 0;
}
#endif

}  // namespace

// XNNPACK picks its int8 kernels by what the processor can do, in this order:
// dot-product instructions, then ARMv8's NEON (with its rounding conversion),
// then plain NEON multiply-accumulate; on x86 the widest vector extension.
std::string XnnNetwork::int8_kernels() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return "x86 AVX-512 (SKX) int8 kernels";
    if (__builtin_cpu_supports("avx2")) return "x86 AVX2 int8 kernels";
    if (__builtin_cpu_supports("avx")) return "x86 AVX int8 kernels";
    if (__builtin_cpu_supports("sse4.1")) return "x86 SSE4.1 int8 kernels";
    return "x86 SSE2 int8 kernels";
#elif defined(__aarch64__)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMDDP) ? "AArch64 NEON dot-product int8 kernels"
                                                 : "AArch64 NEON int8 kernels";
#elif defined(__arm__)
    const unsigned long hwcap = getauxval(AT_HWCAP);
    constexpr unsigned long kDotProduct = 1ul << 24;  // HWCAP_ASIMDDP of the 32-bit kernel
    if (!(hwcap & HWCAP_ARM_NEON)) return "ARM without NEON (XNNPACK does not start)";
    if (hwcap & kDotProduct) return "ARMv8.2 NEON dot-product (NEONDOT) int8 kernels";
    if (arm_architecture() >= 8) return "ARMv8 NEON multiply-accumulate (NEONV8 MLAL) int8 kernels";
    return "ARMv7 NEON multiply-accumulate (NEON MLAL) int8 kernels";
#else
    return "scalar int8 kernels";
#endif
}
