"""Speed figures as ratios to libraries measured in the same run, so that they hold on a noisy
machine: model load against the snappy library decompressing the same file, and the software
convolution against numpy's float32 im2col + BLAS matmul on one thread.

Run with /usr/bin/python3 and PYTHONPATH=build (make bench does).
"""

import os

# One BLAS thread: the BLAS libraries read these when numpy is first imported.
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[variable] = "1"

import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import snappy  # noqa: E402

import qalto.core as core  # noqa: E402

LOAD_TARGET = 1.5
CONVOLUTION_TARGET = 1.0


def best_time(function, repeats, number=1):
    """The best of `repeats` timings of `number` calls, per call: the least disturbed run."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            function()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def fill_variables(layer, rng):
    """Every variable of `layer` filled with random values of its type."""
    for name in layer.variables.names:
        current = layer.variables[name]
        info = np.iinfo(current.dtype)
        layer.variables[name] = rng.integers(info.min, info.max, current.shape, current.dtype,
                                             endpoint=True)


def input_layer(core, width, height, channels):
    params = {"input_width": width, "input_height": height, "input_channels": channels}
    return core.Layer(core.LayerParams(core.LayerType.InputData, params), "input")


def model_file(directory):
    """The model of bench/model_load.cpp: a 1x1x52 input, then 3x3 Conv2D layers of 52 filters
    and Dense1D layers of 52 units in turn, 200 layers; each variable filled with one value."""
    channels = 52
    model = core.Model()
    model.add(input_layer(core, 1, 1, channels))
    for i in range(1, 200):
        if i % 2:
            name, params = f"conv_{i}", core.LayerParams(core.LayerType.Conv2D,
                                                         {"filters": channels})
        else:
            name, params = f"dense_{i}", core.LayerParams(core.LayerType.Dense1D,
                                                          {"units": channels})
        model.add(core.Layer(params, name))
        variables = model.get_layer(name).variables
        for k, variable in enumerate(variables.names):
            current = variables[variable]
            variables[variable] = np.full(current.shape, (i + k) % 100, current.dtype)
    path = os.path.join(directory, "model.fbz")
    model.save(path)
    return path, model


def load_ratio():
    with tempfile.TemporaryDirectory() as directory:
        path, model = model_file(directory)
        with open(path, "rb") as f:
            block = f.read()
        if snappy.decompress(block) != model.to_buffer():
            raise SystemExit("the model file is not the raw block of the model's buffer")
        load = best_time(lambda: core.Model(path), repeats=15, number=20)
        decompress = best_time(lambda: snappy.decompress(block), repeats=15, number=20)
    ratio = load / decompress
    print(f"load ratio {ratio:.2f} (target <= {LOAD_TARGET}): Model(path) {load * 1e6:.0f} us, "
          f"snappy.decompress {decompress * 1e6:.0f} us; file of {len(block)} bytes, "
          f"{len(model.to_buffer())} bytes uncompressed")


def im2col_matmul(x, weights):
    """A 3x3 convolution with Same padding as numpy float32 im2col + BLAS matmul."""
    kernel = weights.shape[0]
    pad = kernel // 2
    padded = np.pad(x.astype(np.float32), ((0, 0), (pad, pad), (pad, pad), (0, 0)))
    windows = np.lib.stride_tricks.sliding_window_view(padded, (kernel, kernel), axis=(1, 2))
    # (N, W, H, C, kx, ky) -> rows of (kx, ky, C), the order of the weights.
    columns = windows.transpose(0, 1, 2, 4, 5, 3).reshape(-1, kernel * kernel * x.shape[3])
    return columns @ weights.astype(np.float32).reshape(-1, weights.shape[3])


def convolution_ratio():
    samples, width, height, channels, filters = 4, 112, 112, 32, 64
    rng = np.random.default_rng(3)
    model = core.Model()
    model.add(input_layer(core, width, height, channels))
    model.add(core.Layer(core.LayerParams(core.LayerType.Conv2D,
                                          {"kernel_size": 3, "filters": filters}), "conv"))
    fill_variables(model.get_layer("conv"), rng)
    weights = model.get_layer("conv").variables["weights"]
    x = rng.integers(0, 255, (samples, width, height, channels), np.uint8, endpoint=True)
    forward = best_time(lambda: model.forward(x), repeats=3)
    numpy = best_time(lambda: im2col_matmul(x, weights), repeats=3)
    macs = samples * width * height * filters * 9 * channels
    print(f"convolution ratio {forward / numpy:.2f} (target <= {CONVOLUTION_TARGET}): "
          f"Model.forward {macs / forward / 1e9:.2f} GMAC/s, "
          f"numpy im2col + matmul {macs / numpy / 1e9:.2f} GMAC/s")


if __name__ == "__main__":
    load_ratio()
    convolution_ratio()
