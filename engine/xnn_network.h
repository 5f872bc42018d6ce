#pragma once
// An ONNX graph imported into an XNNPACK subgraph (xnn_importer.h) and run on
// the processor, for the runtime layer's XNNPACK back end
// (session_xnnpack.cpp), in float32 or with its backbone in int8. Only the
// operations the recognition model uses are imported; anything else makes
// `create` refuse the model with a reason, and the caller runs it elsewhere.
#include "engine/int8_backbone.h"
#include "engine/onnx_info.h"

#include <ctime>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct xnn_subgraph;
namespace xnn_import {
struct Value;
}

class XnnNetwork {
public:
    struct Output {
        std::string name;
        std::vector<int> shape;  // as the ONNX graph has it (NCHW for 4-D)
        const float* data;       // NCHW order, shape's element count; valid until the next run
    };

    // The graph with its one input fixed to `input_shape` (NCHW), on `threads`
    // threads (1: the caller's thread only). With `threads` > 1 and
    // `pool_later`, it runs on the caller's thread alone until
    // make_pool_plan() adds a plan of the same graph on a pool of `threads`
    // threads, sharing the weights and the input and output buffers.
    // With `int8`, the backbone runs in int8 on its weights and ranges, which
    // must outlive the network; null runs every node in float32.
    // Null with `why` filled when the graph holds an operation or a form the
    // importer does not take, or when XNNPACK cannot start on this processor.
    static std::unique_ptr<XnnNetwork> create(const ONNX_GRAPH& graph, const std::vector<int>& input_shape,
                                              int threads, bool pool_later, const INT8_BACKBONE* int8,
                                              std::string& why);
    ~XnnNetwork();
    XnnNetwork(const XnnNetwork&) = delete;
    XnnNetwork& operator=(const XnnNetwork&) = delete;

    // One forward pass on an NCHW input of the shape given to `create`, on
    // the pool where there is its plan and `on_pool` asks for it (or where it
    // is the only plan), otherwise on the caller's thread. One call at a time
    // per network.
    bool run(const float* input, bool on_pool = true);
    const std::vector<Output>& outputs() const { return outputs_; }
    // The pool's threads (the caller's included), made or to be made.
    int threads() const { return threads_; }
    bool int8() const { return int8_; }
    bool has_pool_plan() const;
    // The pool and its plan (packing the weights once more); false when
    // XNNPACK cannot make them. Their first forward is slower than the next.
    bool make_pool_plan();
    // Lets the pool, its plan and that plan's packed weights go, where the
    // caller's plan remains.
    void drop_pool_plan();
    // The processor time clocks of the pool's workers (not the caller's);
    // empty when there is no pool or they could not be found.
    const std::vector<clockid_t>& worker_clocks() const { return worker_clocks_; }

    // The instruction set XNNPACK's float kernels use on this processor.
    static std::string kernel_isa();
    // The family of XNNPACK's int8 kernels (per-channel quantised
    // convolutions) this processor gets.
    static std::string int8_kernels();

    struct State;  // XNNPACK's runtimes, thread pool, subgraph, weights and buffers

private:
    XnnNetwork();
    void bind(const std::vector<std::string>& names, const std::vector<xnn_import::Value>& values);
    bool plan(int threads, bool pool_later);
    std::unique_ptr<State> state_;
    std::vector<Output> outputs_;
    std::vector<clockid_t> worker_clocks_;
    int threads_ = 1;
    bool int8_ = false;
};
