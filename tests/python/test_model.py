import re

import numpy as np
import pytest


def conv_model(core, channels=1):
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData,
                                      {"input_width": 3, "input_height": 3,
                                       "input_channels": channels}), "input"))
    m.add(core.Layer(core.LayerParams(core.LayerType.Conv2D, {"filters": 2}), "conv"))
    return m


def test_construction_from_layers_adds_input_and_copies(core):
    src = conv_model(core)
    w = np.zeros((3, 3, 1, 2), np.int8)
    w[:, :, 0, 0] = 1
    src.get_layer("conv").variables["weights"] = w
    copy = core.Model([src.get_layer("conv")])
    assert copy.layer_count == 2
    first = copy.layers[0]
    assert first.name == "InputData"
    assert first.parameters.get("input_width") == 3
    assert first.parameters.get("input_signed") == 0  # as the source's InputData
    # Independent: writing the copy's weights leaves the source alone.
    copy.get_layer("conv").variables["weights"] = np.zeros((3, 3, 1, 2), np.int8)
    assert src.get_layer("conv").variables["weights"][0, 0, 0, 0] == 1
    with pytest.raises(RuntimeError, match="Invalid layer received"):
        core.Model([None])
    with pytest.raises(TypeError):
        core.Model(None)
    assert core.Model().layer_count == 0
    assert core.Model().external_memory_size == 0
    assert core.Model().component_count == {}


def test_copy_without_input_layer_accepts_the_inputs_of_its_source(core):
    # Each probe: zeros with the given values from the fifth element on, so an offending value
    # is never the first element and may be followed by another one.
    def probe(dtype, *values):
        x = np.zeros(9, dtype)
        x[4:4 + len(values)] = values
        return x.reshape(1, 3, 3, 1)

    probes = [probe(np.int8, -3), probe(np.int8, 1, -9, -3), probe(np.uint8, 200, 15),
              probe(np.uint8, 15, 16, 1), probe(np.uint8, 1), probe(np.int8, 127, -128),
              probe(np.int16, 3, -300, 20000), probe(np.int16, 1, 0, -1), probe(np.int16, 32767)]

    def refusal(model, x):
        try:
            model.forward(x)
            return None
        except ValueError as e:
            return str(e)

    for bits in (1, 4, 8):
        for signed in (0, 1):
            src = core.Model()
            src.add(core.Layer(core.LayerParams(core.LayerType.InputData, {
                "input_width": 3, "input_height": 3, "input_channels": 1, "input_bits": bits,
                "input_signed": signed}), "input"))
            src.add(core.Layer(core.LayerParams(core.LayerType.Conv2D, {"filters": 2}), "conv"))
            assert src.get_layer("conv").input_bits == bits
            copy = core.Model([src.get_layer("conv")])
            params = copy.layers[0].parameters
            assert (params.get("input_bits"), params.get("input_signed")) == (bits, signed)
            low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
            for x in probes:
                outside = [int(v) for v in x.flat if not low <= v <= high]
                expected = (f"Input values should lie within [{low}, {high}], got {outside[0]}."
                            if outside else None)
                assert refusal(src, x) == refusal(copy, x) == expected, (bits, signed, x.dtype)


def test_sizes_past_64_bits_are_refused_or_saturated(core):
    wide = 2**31 - 1
    m = core.Model()
    with pytest.raises(ValueError, match="^Layer input: The shape .* has too many elements."):
        m.add(core.Layer(core.LayerParams(core.LayerType.InputData, {
            "input_width": wide, "input_height": wide, "input_channels": wide}), "input"))
    assert m.layer_count == 0
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData, {
        "input_width": wide, "input_height": wide, "input_channels": 1}), "input"))
    m.add(core.Layer(core.LayerParams(core.LayerType.Conv2D, {"filters": 1}), "conv"))
    assert m.macs == m.layers[1].macs == 2**64 - 1


def test_forward_metrics_and_dtypes(core):
    m = conv_model(core)
    w = np.zeros((3, 3, 1, 2), np.int8)
    w[:, :, 0, 0] = 1
    m.get_layer("conv").variables["weights"] = w
    x = np.arange(1, 10, dtype=np.uint8).reshape(1, 3, 3, 1)
    metrics = m.metrics
    assert metrics.names == []
    out = m.forward(np.concatenate([x, x]), 1)
    assert out.dtype == np.uint8 and out.shape == (2, 3, 3, 2)
    assert out[0, 1, 1, 0] == 45 and out[0, 0, 0, 0] == 12
    assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
    assert metrics["inference_frames"] == 2
    assert metrics["inference_end"] >= metrics["inference_start"]
    with pytest.raises(ValueError, match="Input dtype should be int8, uint8, int16 or float32."):
        m.forward(x.astype(np.int32))
    with pytest.raises(ValueError, match="no layers"):
        core.Model().forward(x)
    with pytest.raises(TypeError):
        m.forward(x.tolist())
    with pytest.raises(RuntimeError, match="predict applies only"):
        m.predict(x)
    assert m.power_events == []


def test_fit_labels_and_add_classes(core):
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData,
                                      {"input_width": 1, "input_height": 1,
                                       "input_channels": 4, "input_bits": 1}), "input"))
    m.add(core.Layer(core.LayerParams(core.LayerType.FullyConnected, {"units": 10}), "fc"))
    with pytest.raises(RuntimeError, match="The last layer must be compiled."):
        m.add_classes(2)
    m.compile(core.QaltoUnsupervised(4, num_classes=5))
    x = np.array([[[[1, 0, 1, 1]]]], np.uint8)
    for bad in (2.5, 2.0000001, 2147483648.0, np.array([1.0]), ["a"], float("nan"), 3e10,
                [2**40], np.array([2**40]), np.array([-2**31 - 1]), np.array([2**31], np.uint32),
                np.array([2**64 - 1], np.uint64)):
        with pytest.raises(TypeError, match="fit method expects integers as labels"):
            m.fit(x, bad)
    # A row per input is refused, not read as its one value nor flattened into several labels.
    for bad, shape in ((np.array(3), "a 0-d array"), (np.array([[1]]), "an array of shape (1, 1)"),
                       (np.array([[0, 1]], np.int32), "an array of shape (1, 2)"),
                       (np.ones((1, 1, 2), np.int16), "an array of shape (1, 1, 2)")):
        with pytest.raises(ValueError, match=re.escape(
                "input_labels must hold one label per input, not " + shape + ".")):
            m.fit(x, bad)
    # The largest int32 is a whole label: whatever the model makes of it, it is not refused as
    # a fraction.
    try:
        m.fit(x, 2147483647.0)
    except Exception as error:
        assert "fit method expects integers" not in str(error)
    assert m.fit(x, 3).shape == (1, 1, 1, 10)
    m.fit(x, np.array([1]))
    m.fit(x, np.array([1], np.uint64))
    m.fit(x)
    w = m.get_layer("fc").variables["weights"].copy()
    for bad in (0, -1):
        with pytest.raises(ValueError, match="The number of classes to add must be positive."):
            m.add_classes(bad)
    m.add_classes(2)
    fc = m.get_layer("fc")
    assert fc.parameters.get("units") == 14
    assert m.learning.get("num_classes") == 7
    assert (fc.variables["weights"][:, :10] == w).all()
    assert (fc.variables["weights"][:, 10:] == 0).all()


def test_add_classes_with_one_class_doubles_units(core):
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData,
                                      {"input_width": 1, "input_height": 1,
                                       "input_channels": 4}), "input"))
    fc = core.Layer(core.LayerParams(core.LayerType.FullyConnected, {"units": 10}), "fc")
    m.add(fc)
    opt = core.QaltoUnsupervised(4)
    m.compile(opt)
    m.add_classes(1)
    assert m.get_layer("fc").parameters.get("units") == 20


def test_map_without_backend(core):
    m = conv_model(core)
    assert m.device is None and m.sequences == []
    assert m.ip_version == core.IpVersion.v2
    assert m.macs == 9 * 9 * 2


def test_docstrings_begin_with_their_text(core):
    assert core.Model._map.__doc__ is None
    assert core.Model.pop_layer.__doc__ == "Remove the last layer of the current model."
    assert core.Model.forward.__doc__.startswith("Forwards a set of inputs through the model.")
    assert core.Model.predict.__doc__.startswith("Predicts a set of inputs through the model.")
    assert "It applies ONLY to models without an activation on the last layer." in (
        core.Model.predict.__doc__)
    fit = core.Model.fit.__doc__
    assert fit.startswith("Trains a set of images or events through the model.")
    assert fit.count("Trains a set of images or events through the model.") == 3
    assert "Must have one label per input, or a single label for all inputs." in fit
    assert core.Model.evaluate.__doc__.startswith("Returns the model class accuracy.")
    assert core.Model.layers.__doc__ == "Get a list of layers in current model."
    assert core.Model.power_events.__doc__ == "Copy of power events logged after inference"


def test_component_count_and_external_memory_of_a_mapped_model(core):
    from test_model_mapping import residual_model, v2_device
    m = residual_model(core)
    m._map(v2_device(core))
    counted = []
    for item in m.layers:
        if item.mapping is not None:
            counted += item.mapping.nps + item.mapping.skipdma_loads
            counted += item.mapping.skipdma_stores[:1]
    expected = {}
    for component in counted:
        expected[component.type] = expected.get(component.type, 0) + 1
    counts = m.component_count
    assert counts == {core.NP.Type.CNP1: 4, core.NP.Type.SKIP_DMA_STORE: 1,
                      core.NP.Type.SKIP_DMA_LOAD: 1} == expected
    assert list(counts) == sorted(counts, key=int)
    assert m.external_memory_size == sum(c.mem_info.external_size for c in counted) > 0
