// The XNNPACK back end of the runtime layer: processor sessions on the
// importer's network (xnn_network.cpp).
#include "engine/runtime_session.h"

#include "engine/xnn_network.h"

namespace {

class XnnpackSession : public RuntimeSession {
public:
    explicit XnnpackSession(std::unique_ptr<XnnNetwork> network) : network_(std::move(network)) {
        for (const XnnNetwork::Output& out : network_->outputs())
            outputs_.push_back({out.name, out.shape, halide_type_t(), out.data});
    }

    bool run(const float* input) override { return input && network_->run(input); }
    const std::vector<RUNTIME_OUTPUT>& outputs() const override { return outputs_; }
    std::string describe() const override {
        const int threads = network_->threads();
        return "XNNPACK, " + std::to_string(threads) + " thread" + (threads == 1 ? "" : "s") + ", " +
               XnnNetwork::kernel_isa();
    }

private:
    std::unique_ptr<XnnNetwork> network_;
    std::vector<RUNTIME_OUTPUT> outputs_;  // the network's buffers never move
};

}  // namespace

std::unique_ptr<RuntimeSession> runtime_session_xnnpack(const RUNTIME_MODEL& model, const std::vector<int>& input_shape,
                                                        int threads, std::string& why) {
    auto network = XnnNetwork::create(model.graph, input_shape, threads, why);
    if (!network) return nullptr;
    return std::make_unique<XnnpackSession>(std::move(network));
}
