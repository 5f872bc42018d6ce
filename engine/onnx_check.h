#pragma once
// The model checked once, before either back end sees it. A model that
// passes can still be one the back ends refuse, but never one that makes them
// divide by zero, read past a weight's end or look for a file beside it.
#include "engine/onnx_info.h"

#include <string>

// False, with `why` naming the first fault, when a weight has no values, keeps
// them in another file, holds fewer or more values than its dims say or a
// type the back ends do not read; when a dimension of a weight or of an input
// is zero; when a node reads a value nothing defines; or when a Conv or Gemm
// weight (or bias, or group count) does not fit its node.
bool onnx_check_graph(const ONNX_GRAPH& graph, std::string& why);
