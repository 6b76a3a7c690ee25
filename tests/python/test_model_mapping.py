"""Mapping a model on a virtual v2 device from Python, and what the mapped model offers."""
import numpy as np
import pytest


def layer(core, kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def residual_model(core):
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=16, input_height=16,
                    input_channels=4))
    conv1 = layer(core, core.Conv2D, "conv1", filters=16)
    conv2 = layer(core, core.Conv2D, "conv2", filters=16, kernel_size=1)
    model.add(conv1)
    model.add(layer(core, core.DepthwiseConv2D, "depthwise"))
    model.add(conv2)
    model.add(layer(core, core.Add, "add"), [conv1, conv2])
    model.add(layer(core, core.Conv2D, "conv3", filters=8))
    return model


def v2_device(core):
    nps = [core.NP.Info(core.NP.Ident(col, row, np_id), [core.NP.CNP1, core.NP.CNP2], True)
           for col in (1, 2) for row in (1, 2) for np_id in range(4)]
    skip = [core.NP.Info(core.NP.Ident(3, 2, 0, 4), [core.NP.SKIP_DMA_STORE,
                                                     core.NP.SKIP_DMA_LOAD])]
    mesh = core.NP.Mesh(core.IpVersion.v2, core.NP.Ident(3, 1, 0), core.NP.Ident(3, 1, 1),
                        None, nps, skip)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def test_map_gives_one_sequence_whose_parts_make_the_program(core):
    model = residual_model(core)
    model._map(v2_device(core))
    (sequence,) = model.sequences
    assert sequence.backend == core.BackendType.Hardware
    assert sequence.name == "HW/input-conv3"
    (hw_pass,) = sequence.passes
    assert [item.name for item in hw_pass.layers] == [
        "input", "conv1", "depthwise", "conv2", "add", "conv3"]
    parts = sequence.program_parts
    assert bytes(parts.program_info) + bytes(parts.program_data) == bytes(sequence.program)
    assert int.from_bytes(bytes(sequence.program)[:4], "little") + 4 == len(parts.program_info)
    idents = {str(model.get_layer(name).mapping.nps[0].ident)
              for name in ("conv1", "depthwise", "conv2", "conv3")}
    assert len(idents) == 4  # one CNP each
    assert model.get_layer("add").mapping.nps == []


def test_python_select_nps_override_steers_the_allocation(core):
    seen = []

    class Reversed(core.MapConstraints):
        def next_layer_handler(self, name):
            seen.append(name)

        def select_nps(self, source_nps, num_nps, type):
            return list(reversed(source_nps))[:num_nps]

    device = v2_device(core)
    model = residual_model(core)
    model._map(device, False, Reversed(device))
    assert seen == ["conv1", "depthwise", "conv2", "conv3"]
    first = model.get_layer("conv1").mapping.nps[0].ident
    assert str(first) == "(2, 2, 3)"  # the last CNP of the mesh


def test_running_a_mapping_of_a_virtual_device_needs_hardware(core):
    model = residual_model(core)
    model._map(v2_device(core))
    x = np.zeros((1, 16, 16, 4), np.uint8)
    with pytest.raises(RuntimeError, match="An actual hardware device is required."):
        model.forward(x)


@pytest.mark.parametrize("kind,params", [("Dense1D", {"units": 10}),
                                         ("DepthwiseBufferTempConv", {}),
                                         ("BufferTempConv", {"filters": 8})])
def test_a_layer_v2_cannot_run_stays_in_software_or_fails_with_hw_only(core, kind, params):
    # A temporal layer also makes the convolution before it look ahead at it: the look-ahead
    # leaves the refusal to the layer's own check.
    model = residual_model(core)
    model.add(layer(core, getattr(core, kind), "tail", **params))
    with pytest.raises(RuntimeError, match=rf"^Cannot map layer 'tail'. Layer type {kind} is not "
                                           r"supported on v2.$"):
        model._map(v2_device(core), True)
    assert model.sequences == []
    model._map(v2_device(core), False)
    assert [s.backend for s in model.sequences] == [core.BackendType.Hardware,
                                                    core.BackendType.Software]


def skip_over_refused_layer(core):
    """input -> a -> b -> c -> add(a, c), c a 2 x 2 convolution v2 refuses."""
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=8, input_height=8,
                    input_channels=4))
    a = layer(core, core.Conv2D, "a", filters=8)
    c = layer(core, core.Conv2D, "c", filters=8, kernel_size=2)
    for item in (a, layer(core, core.Conv2D, "b", filters=8), c):
        model.add(item)
    model.add(layer(core, core.Add, "add"), [a, c])
    return model


def test_a_mapping_that_stops_inside_a_skip_connection_is_cut_back_to_one_that_runs(core):
    # The mapping stops at c, but add also needs a: a hardware sequence returns its last
    # layer's output only, so the hardware part ends at a and the rest runs in software.
    model = skip_over_refused_layer(core)
    device = v2_device(core)
    with pytest.raises(RuntimeError,
                       match=r"^Cannot map layer 'c'. Kernel size must be 1, 3, 5 or 7.$"):
        model._map(device, True)
    assert model.sequences == []
    model._map(device, False)
    assert [(s.backend, [item.name for p in s.passes for item in p.layers])
            for s in model.sequences] == [
        (core.BackendType.Hardware, ["input", "a"]),
        (core.BackendType.Software, ["b", "c", "add"])]


NO_HARDWARE_AFTER = "The layer has no hardware of its own and no hardware layer follows it to run with."


@pytest.mark.parametrize("tail,first,why", [
    ([], "input", NO_HARDWARE_AFTER),
    (["deq"], "input", NO_HARDWARE_AFTER),
    (["conv1", "conv2", "cat"], "cat", "Must be followed by a merge layer."),
])
def test_hw_only_names_the_first_layer_left_to_software(core, tail, first, why):
    # The mapping stops, and the error says where and why.
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=8, input_height=8,
                    input_channels=4))
    made = {}
    for name in tail:
        if name == "deq":
            model.add(layer(core, core.Dequantizer, name))
        elif name == "cat":
            model.add(layer(core, core.Concatenate, name), [made["conv1"], made["conv2"]])
        else:
            made[name] = layer(core, core.Conv2D, name, filters=8)
            model.add(made[name])
    with pytest.raises(RuntimeError) as error:
        model._map(v2_device(core), True)
    assert str(error.value) == f"Cannot map layer '{first}'. {why}"
    assert model.sequences == []
    model._map(v2_device(core), False)
    assert model.sequences[-1].backend == core.BackendType.Software


def test_run_on_a_board_records_clock_metrics_and_power_events():
    pytest.importorskip("qalto_testing")
    from conftest import run_isolated
    result = run_isolated(
        "import numpy as np\n"
        "import qalto.core as core, qalto_testing as qt\n"
        "board = qt.SimulatedBoard('v2', soc=True); board.install()\n"
        "device = core.HardwareDevice.devices()[0]\n"
        "m = core.Model()\n"
        "m.add(core.Layer(core.LayerParams(core.InputData, {'input_width': 4,"
        " 'input_height': 4, 'input_channels': 2}), 'input'))\n"
        "m.add(core.Layer(core.LayerParams(core.Conv2D, {'filters': 4}), 'conv'))\n"
        "m._map(device)\n"
        "metrics = m.metrics\n"
        "m.forward(np.ones((3, 4, 4, 2), np.uint8), 1)\n"
        "assert sorted(metrics.names) == ['inference_clk', 'inference_end', 'inference_frames',"
        " 'inference_start', 'program_clk'], metrics.names\n"
        "assert metrics['inference_frames'] == 3 and metrics['inference_clk'] == 3000\n"
        "assert metrics['program_clk'] > 0 and m.power_events == []\n"
        "device.soc.power_measurement_enabled = True\n"
        "m.forward(np.ones((1, 4, 4, 2), np.uint8))\n"
        "first = [(e.ts, e.voltage, e.current) for e in m.power_events]\n"
        "assert len(first) == 1, first\n"
        "board.log_power_event(5, 7, 8)\n"
        "board.set_clock_counter(0xFFFFFFFF - 100)\n"
        "m.forward(np.ones((1, 4, 4, 2), np.uint8))\n"
        "events = [(e.ts, e.voltage, e.current) for e in m.power_events]\n"
        "assert events[:2] == first + [(5, 7, 8)] and len(events) == 3, events\n"
        "assert m.power_events is not m.power_events\n"
        "assert metrics['inference_clk'] == 1000, metrics['inference_clk']\n"
        "print('done')\n")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "done"
