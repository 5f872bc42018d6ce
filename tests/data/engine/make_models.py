#!/usr/bin/python3
"""Writes the tiny ONNX models the engine tests load, next to this script.

Each is a miniature of the recognition model's tensor contract (input "data",
outputs "prob" and "512feature"), bent in one way a test needs. The weights come
from a fixed seed, so running this again gives the same files.
Run with Debian's python3-onnx and python3-numpy: /usr/bin/python3 make_models.py
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
OPSET = 10


def head(rng, channels, classes, feature_shape):
    """Global average pool -> Gemm -> Softmax ("prob") and -> Gemm -> ReduceL2
    -> Div -> Reshape ("512feature"), the same node kinds as the real model."""
    inits = [
        numpy_helper.from_array(rng.standard_normal((classes, channels)).astype(np.float32), "w_prob"),
        numpy_helper.from_array(np.zeros(classes, np.float32), "b_prob"),
        numpy_helper.from_array(rng.standard_normal((160, channels)).astype(np.float32), "w_feat"),
        numpy_helper.from_array(rng.standard_normal(160).astype(np.float32), "b_feat"),
        numpy_helper.from_array(np.array(feature_shape, np.int64), "feat_shape"),
    ]
    nodes = {
        "pool": [
            helper.make_node("GlobalAveragePool", ["data"], ["pooled"]),
            helper.make_node("Flatten", ["pooled"], ["flat"], axis=1),
        ],
        "prob": [
            helper.make_node("Gemm", ["flat", "w_prob", "b_prob"], ["logits"], transB=1),
            helper.make_node("Softmax", ["logits"], ["prob"], axis=1),
        ],
        "feature": [
            helper.make_node("Gemm", ["flat", "w_feat", "b_feat"], ["proj"], transB=1),
            helper.make_node("ReduceL2", ["proj"], ["norm"], axes=[1], keepdims=1),
            helper.make_node("Div", ["proj", "norm"], ["unit"]),
            helper.make_node("Reshape", ["unit", "feat_shape"], ["512feature"]),
        ],
    }
    return nodes, inits


def save(name, nodes, inits, inputs, outputs):
    graph = helper.make_graph(nodes, name, inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="make_models.py")
    model.ir_version = 5
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(HERE, name + ".onnx"))


def contract_model(name, input_dims=(1, 3, 224, 224), classes=1000, feature_shape=(160, 1),
                   keep=("prob", "feature"), weights_as_inputs=False, weight_channels=None):
    rng = np.random.default_rng(list(name.encode()))
    nodes, inits = head(rng, weight_channels or input_dims[1], classes, feature_shape)
    graph_nodes = nodes["pool"] + [n for part in keep for n in nodes[part]]
    used = {i for n in graph_nodes for i in n.input}
    inits = [t for t in inits if t.name in used]
    inputs = [helper.make_tensor_value_info("data", TensorProto.FLOAT, list(input_dims))]
    if weights_as_inputs:  # the way exporters before IR version 4 listed weights
        inputs += [helper.make_tensor_value_info(t.name, t.data_type, list(t.dims)) for t in inits]
    outputs = []
    if "prob" in keep:
        outputs.append(helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, classes]))
    if "feature" in keep:
        outputs.append(helper.make_tensor_value_info("512feature", TensorProto.FLOAT, list(feature_shape)))
    save(name, graph_nodes, inits, inputs, outputs)


def no_input_model():
    """Outputs reshaped from constants alone: a graph without any input (OpenCV
    folds both reshapes while loading, which leaves it nothing to run)."""
    rng = np.random.default_rng(0)
    inits = [
        numpy_helper.from_array(rng.random(1000).astype(np.float32), "scores"),
        numpy_helper.from_array(np.array([1, 1000], np.int64), "prob_shape"),
        numpy_helper.from_array(rng.random(160).astype(np.float32), "values"),
        numpy_helper.from_array(np.array([160, 1], np.int64), "feat_shape"),
    ]
    nodes = [
        helper.make_node("Reshape", ["scores", "prob_shape"], ["prob"]),
        helper.make_node("Reshape", ["values", "feat_shape"], ["512feature"]),
    ]
    outputs = [
        helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 1000]),
        helper.make_tensor_value_info("512feature", TensorProto.FLOAT, [160, 1]),
    ]
    save("no_input", nodes, inits, [], outputs)


def bad_weight_model(name, bend):
    """The tiny contract model with one of its weights bent by `bend`, which
    gets the initializer list and changes it in place."""
    rng = np.random.default_rng(list(name.encode()))
    nodes, inits = head(rng, 3, 1000, (160, 1))
    bend(inits)
    inputs = [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 224, 224])]
    outputs = [helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 1000]),
               helper.make_tensor_value_info("512feature", TensorProto.FLOAT, [160, 1])]
    graph = helper.make_graph(nodes["pool"] + nodes["prob"] + nodes["feature"], name, inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="make_models.py")
    model.ir_version = 5
    # No checker: these models are wrong on purpose.
    onnx.save(model, os.path.join(HERE, name + ".onnx"))


def replace_init(inits, name, tensor):
    index = next(i for i, t in enumerate(inits) if t.name == name)
    inits[index] = tensor


def external_weights(inits):
    """w_feat's values "in another file", as large exported models keep them."""
    t = next(t for t in inits if t.name == "w_feat")
    t.ClearField("raw_data")
    t.data_location = TensorProto.EXTERNAL
    entry = t.external_data.add()
    entry.key, entry.value = "location", "w_feat.bin"


def empty_weights(inits):
    """w_feat keeps its dims and loses its values."""
    next(t for t in inits if t.name == "w_feat").ClearField("raw_data")


def bad_models():
    # The Gemm behind "prob" with no rows at all.
    bad_weight_model("gemm_zero_rows", lambda inits: replace_init(
        inits, "w_prob", numpy_helper.from_array(np.zeros((0, 3), np.float32), "w_prob")))
    bad_weight_model("external_weights", external_weights)
    bad_weight_model("empty_weights", empty_weights)
    # A model that loads and runs, and whose feature is not a number.
    bad_weight_model("nan_weights", lambda inits: replace_init(
        inits, "w_feat", numpy_helper.from_array(np.full((160, 3), np.nan, np.float32), "w_feat")))


def main():
    contract_model("tiny_contract")
    contract_model("weights_as_inputs", weights_as_inputs=True)
    contract_model("input_256", input_dims=(1, 3, 256, 256))
    contract_model("input_one_channel", input_dims=(1, 1, 224, 224))
    contract_model("input_open_size", input_dims=(1, 3, "height", "width"))
    contract_model("prob_1001", classes=1001)
    contract_model("feature_1x160", feature_shape=(1, 160))
    contract_model("no_prob", keep=("feature",))
    contract_model("no_feature", keep=("prob",))
    # Weights made for 5 channels behind a 3-channel input: the model loads, but
    # it cannot run, so no session can be made from it.
    contract_model("cannot_run", weight_channels=5)
    no_input_model()
    bad_models()


if __name__ == "__main__":
    main()
