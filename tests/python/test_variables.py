"""Variables writes (accepted and refused) and evaluate_bitwidth."""
import numpy as np
import pytest

import qalto_testing as qt

# Engine element-type codes of the packed types.
INT4, INT2, UINT4, UINT2, BIT = 5, 6, 7, 8, 9


@pytest.fixture
def layer(core):
    layers = [core.Layer(core.LayerParams(core.InputData, {
                  "input_width": 4, "input_height": 4, "input_channels": 2}), "input"),
              core.Layer(core.LayerParams(core.Conv2D, {"filters": 3, "kernel_size": 1}), "conv")]
    qt.build_graph(layers)
    conv = layers[1]
    for name, code in (("w4", INT4), ("w2", INT2), ("u4", UINT4), ("u2", UINT2), ("b", BIT)):
        qt.declare_variable(conv, name, code, [2, 3])
    return conv


def test_names_and_reads(layer):
    variables = layer.variables
    assert {"weights", "bias", "input_shift", "w4", "u2"} <= set(variables.names)
    weights = variables["weights"]
    assert weights.dtype == np.int8 and weights.shape == (1, 1, 2, 3)
    assert not weights.any()  # created zero-filled
    assert variables["u2"].dtype == np.uint8
    assert variables["w4"].dtype == np.int8 and variables["b"].dtype == np.int8


def test_write_replaces_the_layers_variable(layer):
    values = np.arange(6, dtype=np.int8).reshape(1, 1, 2, 3) - 3
    layer.variables["weights"] = values
    np.testing.assert_array_equal(layer.variables["weights"], values)
    values[0, 0, 0, 0] = 100  # the layer holds a copy
    assert layer.variables["weights"][0, 0, 0, 0] == -3


@pytest.mark.parametrize("name, dtype, low, high", [
    ("w4", "int8", -8, 7), ("w2", "int8", -2, 1), ("u4", "uint8", 0, 15),
    ("u2", "uint8", 0, 3), ("b", "int8", 0, 1)])
def test_packed_types_accept_their_range_and_refuse_beyond(layer, name, dtype, low, high):
    variables = layer.variables
    good = np.array([[low, high, low], [high, low, high]], dtype=dtype)
    variables[name] = good
    np.testing.assert_array_equal(variables[name], good)
    outside = [v for v in (low - 1, high + 1) if np.iinfo(dtype).min <= v <= np.iinfo(dtype).max]
    for value in outside:
        bad = good.copy()
        bad[1, 2] = value
        with pytest.raises(ValueError, match=f"^Variable {name} of type .* cannot hold {value}\\.$"):
            variables[name] = bad
        np.testing.assert_array_equal(variables[name], good)  # unchanged


def test_uint2_read_back_can_be_written_back(layer):
    variables = layer.variables
    variables["u2"] = np.array([[3, 2, 1], [0, 1, 2]], dtype=np.uint8)
    read = variables["u2"]
    variables["u2"] = read
    np.testing.assert_array_equal(variables["u2"], read)


def test_wrong_dtype_is_refused_and_nothing_changes(layer):
    variables = layer.variables
    before = variables["w4"]
    with pytest.raises(ValueError) as info:
        variables["w4"] = np.ones((2, 3), dtype=np.uint8)
    assert str(info.value) == "Unsupported variable type for w4 expected int8 received uint8"
    with pytest.raises(ValueError) as info:
        variables["bias"] = np.ones(3, dtype=np.int32)
    assert str(info.value) == "Unsupported variable type for bias expected int8 received int32"
    np.testing.assert_array_equal(variables["w4"], before)


def test_float_variable_takes_only_float32(core):
    layers = [core.Layer(core.LayerParams(core.InputData, {
                  "input_width": 2, "input_height": 2, "input_channels": 2}), "input"),
              core.Layer(core.LayerParams(core.Dequantizer, {}), "deq")]
    qt.build_graph(layers)
    variables = layers[1].variables
    with pytest.raises(ValueError, match="^Unsupported variable type for scales expected float32 "
                                         "received float64$"):
        variables["scales"] = np.ones(2)
    with pytest.raises(ValueError, match="expected float32 received int32"):
        variables["scales"] = np.ones(2, dtype=np.int32)
    variables["scales"] = np.array([0.5, 2.0], dtype=np.float32)
    np.testing.assert_array_equal(variables["scales"], [0.5, 2.0])


def test_wrong_shape_is_refused_and_nothing_changes(layer):
    variables = layer.variables
    variables["bias"] = np.array([1, 2, 3], dtype=np.int8)
    for shape in [(4,), (1, 3), (3, 1)]:
        with pytest.raises(ValueError):
            variables["bias"] = np.zeros(shape, dtype=np.int8)
        np.testing.assert_array_equal(variables["bias"], [1, 2, 3])


def test_bad_arrays_and_names_are_refused(layer):
    variables = layer.variables
    with pytest.raises(ValueError):
        variables["nope"] = np.zeros(3, dtype=np.int8)
    assert "nope" not in variables.names
    with pytest.raises(ValueError):
        variables["nope"]
    with pytest.raises(TypeError):
        variables["bias"] = [1, 2, 3]
    with pytest.raises(ValueError):
        variables["bias"] = np.zeros((1, 1, 1, 1, 3), dtype=np.int8)
    with pytest.raises(RuntimeError):
        variables["bias"] = np.zeros((0,), dtype=np.int8)
    assert not variables["bias"].any()


def test_writes_through_a_non_contiguous_view(layer):
    source = (np.arange(12, dtype=np.int8) - 6).reshape(2, 6)[:, ::2]  # (2, 3), strided view
    assert not source.flags.c_contiguous
    layer.variables["w4"] = source
    np.testing.assert_array_equal(layer.variables["w4"], source)


@pytest.mark.parametrize("dtype, values, bits", [
    ("int8", [0, 0], 0), ("int8", [-8, 7], 4), ("int8", [8], 5), ("int8", [-1], 1),
    ("int8", [-128, 127], 8), ("uint8", [15], 4), ("uint8", [255, 1], 8),
    ("int16", [-32768], 16), ("uint16", [65535], 16), ("int32", [-2**31], 32),
    ("int32", [2**20], 22)])
def test_evaluate_bitwidth(core, dtype, values, bits):
    assert core.evaluate_bitwidth(np.array(values, dtype=dtype)) == bits


def test_evaluate_bitwidth_float32_is_zero_and_others_refused(core):
    assert core.evaluate_bitwidth(np.array([1e30, -3.5], dtype=np.float32)) == 0
    for dtype in ("float64", "int64", "uint32", "bool"):
        with pytest.raises(RuntimeError, match="^Wrong py::array type: cannot evaluate the "
                                               r"bitwidth\.$"):
            core.evaluate_bitwidth(np.ones(2, dtype=dtype))
    with pytest.raises(TypeError):
        core.evaluate_bitwidth([1, 2, 3])
    assert core.evaluate_bitwidth.__doc__ == (
        "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n   Args:\n"
        "       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is "
        "evaluated.\n   ")


def test_variables_has_no_constructor(core):
    with pytest.raises(TypeError):
        core.Variables()
