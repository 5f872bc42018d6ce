// The XNNPACK back end of the runtime layer: processor sessions on the
// importer's network (xnn_network.cpp), in float32 or with the backbone in
// int8, on a fixed number of threads or on the count that its own forwards
// show better (thread_choice.h); both plans choose their threads the same way.
#include "engine/runtime_session.h"

#include "engine/thread_choice.h"
#include "engine/xnn_network.h"
#include "support/log.h"
#include "support/timing.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <chrono>
#include <optional>
#include <thread>

namespace {

class XnnpackSession : public RuntimeSession {
public:
    XnnpackSession(std::unique_ptr<XnnNetwork> network, RUNTIME_THREADS threads)
        : network_(std::move(network)),
          ready_elsewhere_(threads.ready_elsewhere ? threads.ready_elsewhere : threads_ready_elsewhere) {
        for (const XnnNetwork::Output& out : network_->outputs())
            outputs_.push_back({out.name, out.shape, halide_type_t(), out.data});
        const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        if (threads.choose) choice_.emplace(network_->threads(), cores);
    }

    // Until the count is forced, every forward is timed and feeds the choice,
    // except the first on each plan (it pays for the plan's warm-up). Nothing
    // is run for the choice alone: the pool and its plan are made when the
    // choice first wants several threads, and let go while one thread wins.
    bool run(const float* input) override {
        if (!input) return false;
        if (!choice_) return network_->run(input);
        const int threads = choice_->next(ready_elsewhere_());
        if (threads > 1 && !pool_ready()) return give_up_choosing(input);
        bool& warm = threads > 1 ? pool_warm_ : alone_warm_;
        if (!warm) {
            warm = true;
            return network_->run(input, threads > 1);
        }
        const FORWARD_TIME start = now();
        const bool ran = network_->run(input, threads > 1);
        const FORWARD_TIME end = now();
        choice_->record({end.wall_ms - start.wall_ms, end.cpu_ms - start.cpu_ms});
        // Said once per change, not per forward.
        if (choice_->take_change())
            logger->info("engine: forwards on {} of at most {} threads from now on ({})", choice_->chosen(),
                         choice_->most(), choice_->reason());
        if (choice_->decided() && choice_->chosen() == 1 && network_->has_pool_plan()) release_pool();
        return ran;
    }

    const std::vector<RUNTIME_OUTPUT>& outputs() const override { return outputs_; }
    const char* precision() const override { return network_->int8() ? "int8" : "fp32"; }

    std::string describe() const override {
        const int threads = choice_ ? choice_->chosen() : network_->has_pool_plan() ? network_->threads() : 1;
        std::string text = std::string(network_->int8() ? "XNNPACK int8, " : "XNNPACK, ") + std::to_string(threads) +
                           " thread" + (threads == 1 ? "" : "s") + ", " +
                           (network_->int8() ? XnnNetwork::int8_kernels() : XnnNetwork::kernel_isa());
        if (choice_)
            text += std::string("; ") + (choice_->decided() ? "chosen" : "choosing") + " between 1 and " +
                    std::to_string(choice_->most()) + " threads from its forwards (" + choice_->reason() + ")";
        return text;
    }

private:
    // While one thread wins, the pool's plan and its own packed weights go,
    // and the allocator's pages with them, until a try wants several threads again.
    void release_pool() {
        network_->drop_pool_plan();
        pool_warm_ = false;
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    }

    // The pool's plan, made where it is missing; it serves the choice only when
    // the workers' clocks tell their processor time.
    bool pool_ready() {
        if (!network_->has_pool_plan() && !network_->make_pool_plan()) return false;
        if (network_->worker_clocks().size() + 1 == static_cast<size_t>(network_->threads())) return true;
        network_->drop_pool_plan();
        return false;
    }

    // Without a pool, or without its clocks, the choice is one thread for good.
    bool give_up_choosing(const float* input) {
        logger->info("engine: the thread pool cannot be made or timed, forwards on 1 thread");
        choice_.reset();
        return network_->run(input, false);
    }

    // The wall clock, and the processor time of the calling thread and of the
    // pool's workers (asleep, and so not counting, on a one-thread forward).
    FORWARD_TIME now() const {
        FORWARD_TIME t;
        t.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
        t.cpu_ms = clock_ms(CLOCK_THREAD_CPUTIME_ID);
        for (clockid_t worker : network_->worker_clocks()) t.cpu_ms += clock_ms(worker);
        return t;
    }

    std::unique_ptr<XnnNetwork> network_;
    std::vector<RUNTIME_OUTPUT> outputs_;  // the network's buffers never move
    std::optional<ThreadChoice> choice_;   // unless the count is forced
    int (*ready_elsewhere_)();
    bool alone_warm_ = false, pool_warm_ = false;
};

}  // namespace

std::unique_ptr<RuntimeSession> runtime_session_xnnpack(const RUNTIME_MODEL& model, const std::vector<int>& input_shape,
                                                        RUNTIME_THREADS threads, const INT8_BACKBONE* int8,
                                                        std::string& why) {
    threads.choose = threads.choose && threads.most > 1;
    auto network = XnnNetwork::create(model.graph, input_shape, threads.most, threads.choose, int8, why);
    if (!network) return nullptr;
    return std::make_unique<XnnpackSession>(std::move(network), threads);
}
