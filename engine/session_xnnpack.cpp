// The XNNPACK back end of the runtime layer: processor sessions on the
// importer's network (xnn_network.cpp), in float32 or with the backbone in
// int8, on a fixed number of threads or on the count that measurement shows
// better (thread_choice.h); both plans choose their threads the same way.
#include "engine/runtime_session.h"

#include "engine/thread_choice.h"
#include "engine/xnn_network.h"
#include "support/log.h"
#include "support/timing.h"

#include <chrono>
#include <optional>

namespace {

class XnnpackSession : public RuntimeSession {
public:
    XnnpackSession(std::unique_ptr<XnnNetwork> network, bool choose) : network_(std::move(network)) {
        for (const XnnNetwork::Output& out : network_->outputs())
            outputs_.push_back({out.name, out.shape, halide_type_t(), out.data});
        // Without the workers' clocks the processor time of several threads
        // cannot be told, and one thread is the safe choice.
        if (choose && network_->has_one_thread_plan()) {
            if (network_->worker_clocks().size() + 1 == static_cast<size_t>(network_->threads()))
                choice_.emplace(network_->threads());
            else
                network_->keep_one_thread_only();
        }
    }

    // Both counts are timed on `input` until the first choice is made: in Init,
    // not on the first recognitions. Where one thread wins, the board is busy
    // already: the pool and its plan (and their packed weights) are let go and
    // the session stays on one thread; where several win, both plans stay, so
    // that the choice can follow the load.
    void choose_now(const float* input) {
        if (!choice_) return;
        while (!choice_->decided())
            if (!run(input)) return;
        most_ = network_->threads();
        reason_ = choice_->reason();
        logger->info("engine: forwards on {} of at most {} threads ({})", choice_->chosen(), most_, reason_);
        if (choice_->chosen() == 1) {
            network_->keep_one_thread_only();
            choice_.reset();
        }
    }

    bool run(const float* input) override {
        if (!input) return false;
        if (!choice_) return network_->run(input);
        const int threads = choice_->next();
        const FORWARD_TIME start = now();
        const bool ran = network_->run(input, threads == 1);
        const FORWARD_TIME end = now();
        choice_->record(threads, {end.wall_ms - start.wall_ms, end.cpu_ms - start.cpu_ms});
        return ran;
    }

    const std::vector<RUNTIME_OUTPUT>& outputs() const override { return outputs_; }
    const char* precision() const override { return network_->int8() ? "int8" : "fp32"; }

    std::string describe() const override {
        const int threads = choice_ ? choice_->chosen() : network_->threads();
        std::string text = std::string(network_->int8() ? "XNNPACK int8, " : "XNNPACK, ") + std::to_string(threads) +
                           " thread" + (threads == 1 ? "" : "s") + ", " +
                           (network_->int8() ? XnnNetwork::int8_kernels() : XnnNetwork::kernel_isa());
        if (most_ > 1)
            text += "; chosen between 1 and " + std::to_string(most_) + " threads by measurement (" +
                    (choice_ ? choice_->reason() : reason_) + ")";
        return text;
    }

private:
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
    std::optional<ThreadChoice> choice_;  // while several threads may still win
    int most_ = 1;                         // the count measured against one thread
    std::string reason_;                   // the figures of the first choice
};

}  // namespace

std::unique_ptr<RuntimeSession> runtime_session_xnnpack(const RUNTIME_MODEL& model, const std::vector<int>& input_shape,
                                                        RUNTIME_THREADS threads, const INT8_BACKBONE* int8,
                                                        std::string& why) {
    const bool choose = threads.choose && threads.most > 1;
    auto network = XnnNetwork::create(model.graph, input_shape, threads.most, choose, int8, why);
    if (!network) return nullptr;
    auto session = std::make_unique<XnnpackSession>(std::move(network), choose);
    size_t values = 1;
    for (int d : input_shape) values *= static_cast<size_t>(d);
    const std::vector<float> zeros(values, 0.0f);
    session->choose_now(zeros.data());
    return session;
}
