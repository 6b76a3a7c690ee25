"""Regenerates the committed seed corpora of the fuzz harnesses from the built module:

    PYTHONPATH=build /usr/bin/python3 fuzz/make_seeds.py

Models (the demo model, a compiled model with a learning set, a Mivo series) saved as buffers
and as files, the programs made by mapping them, and the same graphs written in the layer-graph
harness's byte language. Every seed is a few kB at most."""
import os
import re
import sys
import tempfile

import numpy as np

import qalto.core as core

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import demo  # noqa: E402  (the demo's model and virtual device)


def layer(kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def learning_model():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=1, input_height=1, input_channels=8,
                    input_bits=1))
    model.add(layer(core.FullyConnected, "fc", units=6))
    model.compile(core.QaltoUnsupervised(4, num_classes=3))
    return model


def mivo_series():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=1, input_height=16, input_channels=8))
    model.add(layer(core.StatefulRecurrent, "sr1", output_channels=16, stateful_channels=8))
    model.add(layer(core.StatefulRecurrent, "sr2", output_channels=4, stateful_channels=8))
    return model


def mivo_device():
    nps = [core.NP.Info(core.NP.Ident(0, 0, 0), [core.NP.TNP_R])]
    mesh = core.NP.Mesh(core.IpVersion.mivo, core.NP.Ident(1, 0, 0), core.NP.Ident(1, 0, 1),
                        None, nps, [])
    return core.Device(core.HwVersion.Mivo_FPGA, mesh)


def write(harness, name, data):
    folder = os.path.join(HERE, harness, "seeds")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def programs(model, device):
    try:
        model._map(device, False, None)
    except RuntimeError as error:
        print(f"  mapping stopped: {error}")
        return []
    return [bytes(s.program) for s in model.sequences if s.program]


# ---- the layer-graph harness's byte language (fuzz/layer_graph.cpp) ----

def cpp_list(name):
    source = open(os.path.join(HERE, "layer_graph.cpp")).read()
    body = re.search(name + r"\[\] = \{(.*?)\};", source, re.S).group(1)
    return [item.strip() for item in re.sub(r"//.*", "", body).split(",") if item.strip()]


LAYER_TYPES = [int(v) for v in cpp_list("kLayerTypes")]
KEYS = [k.strip('"') for k in cpp_list("kKeys")]


def value_bytes(value):
    if 0 <= value <= 32:
        return [160, value]
    return [240] + list(int(value & 0xFFFFFFFF).to_bytes(4, "little"))


def graph_bytes(layers, learning=None, hw_only=False):
    """layers: (type, {key: value}, [inbound indices]) in order; the first one an InputData of
    small shape (width, height, channels) given as its params."""
    out = [len(layers) - 1]
    for index, (kind, params, inbound) in enumerate(layers):
        params = dict(params)
        if index == 0:
            out += [0, params.pop("input_width") - 1, params.pop("input_height") - 1,
                    params.pop("input_channels") - 1]
        else:
            out.append(LAYER_TYPES.index(int(kind)))
        out.append(len(params))
        for key, value in params.items():
            out += value_bytes(value)     # the value's bytes come before the key's
            out.append(KEYS.index(key))
        out.append(0)                     # the layer's own name
        if index > 0:
            out.append(len(inbound))
            out += inbound
    if learning:
        out.append(255)
        out += value_bytes(learning[0]) + value_bytes(learning[1])
    else:
        out.append(0)
    out.append(1 if hw_only else 0)
    return out


def graph_seeds():
    I = core.LayerType
    demo_graph = [(I.InputData, dict(input_width=12, input_height=12, input_channels=4), []),
                  (I.Conv2D, dict(filters=16, kernel_size=3), []),
                  (I.DepthwiseConv2D, dict(kernel_size=3), []),
                  (I.Conv2D, dict(filters=16, kernel_size=1), []),
                  (I.Add, {}, [1, 3]),
                  (I.Conv2D, dict(filters=8, kernel_size=3, pool_type=1, pool_size=2), [])]
    learning = [(I.InputData, dict(input_width=1, input_height=1, input_channels=8,
                                   input_bits=1), []),
                (I.FullyConnected, dict(units=6), [])]
    mivo = [(I.InputData, dict(input_width=1, input_height=12, input_channels=8), []),
            (I.StatefulRecurrent, dict(output_channels=12, stateful_channels=8), []),
            (I.StatefulRecurrent, dict(output_channels=4, stateful_channels=8), [])]
    concat = [(I.InputData, dict(input_width=8, input_height=8, input_channels=3), []),
              (I.InputConv2D, dict(filters=8, kernel_size=3), []),
              (I.Conv2D, dict(filters=8, kernel_size=3, padding=1), [1]),
              (I.Conv2D, dict(filters=4, kernel_size=1), [1]),
              (I.Concatenate, {}, [2, 3]),
              (I.Dense1D, dict(units=10), [])]
    return {"demo": graph_bytes(demo_graph), "learning": graph_bytes(learning, (4, 3)),
            "mivo": graph_bytes(mivo), "concat_hw_only": graph_bytes(concat, hw_only=True)}


# ---- the variable harness's byte language (fuzz/variables.cpp) ----

def variable_seeds():
    seeds = {}
    for type_code in range(11):
        # rank 2 of (2, 3), row-major, values, own dtype, own shape, view by type
        out = [type_code, 1, 1, 2, 255] + [7, 1, 0, 0] * 6 + [0, 0, type_code % 6]
        seeds[f"type{type_code}"] = out + list(range(1, 17))
    # A column-major variable written with a foreign dtype and a rank-6 shape.
    seeds["colmajor_foreign"] = [4, 2, 1, 1, 1, 0] + [1, 0, 0, 0] * 8 + [200, 8, 200, 6] + \
        [1, 2, 1, 1, 2, 1, 5] + list(range(32))
    return seeds


def main():
    models = {"demo": (demo.build_model(), demo.virtual_v2_device()),
              "learning": (learning_model(), demo.virtual_v2_device()),
              "mivo": (mivo_series(), mivo_device())}
    with tempfile.TemporaryDirectory() as folder:
        for name, (model, device) in models.items():
            write("model_buffer", name, model.to_buffer())
            path = os.path.join(folder, name + ".qmodel")
            model.save(path)
            write("model_file", name, open(path, "rb").read())
            for index, program in enumerate(programs(model, device)):
                write("program", f"{name}_{index}", program)
    for name, data in graph_seeds().items():
        write("layer_graph", name, data)
    for name, data in variable_seeds().items():
        write("variables", name, data)
    for harness in sorted(os.listdir(HERE)):
        seeds = os.path.join(HERE, harness, "seeds")
        if os.path.isdir(seeds):
            sizes = [os.path.getsize(os.path.join(seeds, f)) for f in sorted(os.listdir(seeds))]
            print(f"{harness}: {len(sizes)} seeds, {sum(sizes)} bytes")


if __name__ == "__main__":
    main()
