"""The main job: build a small convolutional model, save and reload it, map it on a virtual
second-generation device, show the mapping and the program, then run it in software."""
import os
import tempfile

import numpy as np

import qalto.core as core


def layer(kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def build_model():
    model = core.Model()
    inputs = layer(core.InputData, "input", input_width=16, input_height=16, input_channels=4)
    conv1 = layer(core.Conv2D, "conv1", filters=16, kernel_size=3)
    depthwise = layer(core.DepthwiseConv2D, "depthwise", kernel_size=3)
    conv2 = layer(core.Conv2D, "conv2", filters=16, kernel_size=1)
    add = layer(core.Add, "add")
    conv3 = layer(core.Conv2D, "conv3", filters=8, kernel_size=3)
    model.add(inputs)
    model.add(conv1)
    model.add(depthwise)
    model.add(conv2)
    model.add(add, [conv1, conv2])
    model.add(conv3)
    rng = np.random.default_rng(7)
    for item in model.layers:
        variables = item.variables
        if "weights" in variables.names:
            shape = variables["weights"].shape
            variables["weights"] = rng.integers(-3, 4, size=shape, dtype=np.int8)
    return model


def virtual_v2_device():
    """A v2 chip of 2 x 2 nodes of four CNPs, and a node holding one skip-DMA engine of 4
    channels beside the DMA endpoints."""
    nps = [core.NP.Info(core.NP.Ident(col, row, np_id), [core.NP.CNP1, core.NP.CNP2], True)
           for col in (1, 2) for row in (1, 2) for np_id in range(4)]
    skip_dmas = [core.NP.Info(core.NP.Ident(3, 2, 0, 4), [core.NP.SKIP_DMA_STORE,
                                                          core.NP.SKIP_DMA_LOAD])]
    mesh = core.NP.Mesh(core.IpVersion.v2, core.NP.Ident(3, 1, 0), core.NP.Ident(3, 1, 1),
                        None, nps, skip_dmas)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def save(model, folder):
    path = os.path.join(folder, "demo.qmodel")
    model.save(path)
    print(f"saved the model: {os.path.getsize(path)} bytes")
    return path


def show_mapping(model, device):
    model._map(device, False, None)
    for item in model.layers:
        mapping = item.mapping
        nps = mapping.nps if mapping else []
        if not nps:
            print(f"  {item.name:10s} -> (no NP)")
        for component in nps:
            memory = component.mem_info
            print(f"  {item.name:10s} -> {component.type.name}{component.ident}: "
                  f"{component.filters} filters, input {memory.input_size} B, "
                  f"weights {memory.weight_size} B, external {memory.external_size} B")
    for sequence in model.sequences:
        print(f"sequence {sequence.name}: {len(sequence.program)} program bytes")
        parts = sequence.program_parts
        print(f"  program information {len(parts.program_info)} bytes, "
              f"program data {len(parts.program_data)} bytes")
        for index, hw_pass in enumerate(sequence.passes):
            print(f"  pass {index}: {', '.join(item.name for item in hw_pass.layers)}")


def main():
    print(f"qalto core {core.__version__}")
    with tempfile.TemporaryDirectory() as folder:
        path = save(build_model(), folder)
        model = core.Model(path)
        software = core.Model(path)  # an unmapped copy runs on the reference operations
    device = virtual_v2_device()
    print(f"device {device.desc}, IP {device.ip_version.name}")
    try:
        show_mapping(model, device)
    except RuntimeError as error:
        print(f"mapping stopped: {error}")
    x = np.random.default_rng(1).integers(0, 256, size=(2, 16, 16, 4), dtype=np.uint8)
    out = software.forward(x)
    print(f"software forward: input {x.shape} -> output {out.shape} {out.dtype}")
    print("metrics:", {name: software.metrics[name] for name in sorted(software.metrics.names)})


if __name__ == "__main__":
    main()
