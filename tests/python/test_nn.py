"""The nn submodule: argument matching, conversions, derived geometry and the reference
arithmetic seen from Python."""
import numpy as np
import pytest

NN_FUNCTIONS = ["lshift", "shift", "shift_out", "matmul", "add", "concatenate", "scale_out",
                "conv2d", "input_conv2d", "conv2d_transpose", "dequantize", "depthwise_conv2d",
                "relu_activation", "look_up", "global_average_pooling", "max_pooling", "fifo_op",
                "depth_conv_like_op", "stateful_main_op", "subsampling_op",
                "mivopostprocessing_op"]


def test_submodule_docstring_and_registration_order(core):
    assert core.nn.__doc__ == ("Qalto Neural Network software internal functions. These are "
                               "meant for testing, debugging and validation only.")
    registered = [name for name in vars(core.nn) if not name.startswith("__")]
    assert registered == NN_FUNCTIONS


def test_arguments_are_positional_and_typed(core):
    nn = core.nn
    assert nn.shift([4, 5, -5], [-1, -1, -1], 0).tolist() == [2, 3, -2]  # a list is converted
    with pytest.raises(TypeError):
        nn.shift(x=[1], s=[0], e=0)
    with pytest.raises(TypeError):
        nn.shift([1], [0], 0.0)          # a float does not match an integer argument
    with pytest.raises(TypeError):
        nn.shift([1], [0], 2 ** 31)      # out of the signed 32-bit range
    with pytest.raises(TypeError):
        nn.shift([1], [0])
    with pytest.raises(TypeError):
        nn.shift(["x"], [0], 0)          # numpy cannot make int32 of it
    x = np.zeros((200, 2, 1), np.int32)
    assert nn.max_pooling(x, 2, 2, 2, 2, core.Padding.Valid, 0).shape == (100, 1, 1)
    assert nn.max_pooling(x, 200, 2, 2, 2, core.Padding.Valid, 0).shape == (1, 1, 1)  # u8
    with pytest.raises(TypeError):
        nn.max_pooling(x, 2, 128, 2, 2, core.Padding.Valid, 0)                         # s8
    with pytest.raises(TypeError):
        nn.max_pooling(x, 2, 2, 2, 2, 1, 0)                                            # not a Padding


def test_conversion_errors_and_their_order(core):
    nn = core.nn
    with pytest.raises(ValueError) as rank0:
        nn.shift(np.int32(3), [0], 0)
    assert str(rank0.value) == "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"
    with pytest.raises(RuntimeError, match="^Cannot have a shape with dimension 1 set to 0$"):
        nn.add(np.zeros((2, 0)), np.zeros((2, 0)), 0)
    # scale_out converts arg2 before arg1, stateful_main_op arg1 after all the others: the
    # rank error of the earlier conversion wins over the zero-dimension error of the later one.
    empty_scales = np.zeros((0,), np.uint16)
    with pytest.raises(ValueError, match="with 5 dimensions"):
        nn.scale_out([1], empty_scales, np.zeros((1,) * 5), 0, 0)
    with pytest.raises(ValueError, match="with 5 dimensions"):
        nn.stateful_main_op([1], np.zeros((0,)), np.zeros((1,) * 5), [0], [0], [0], 0, 0)
    with pytest.raises(ValueError, match="filters need at least two dimensions"):
        nn.conv2d(np.zeros((3, 3, 1)), np.zeros(9), 1, core.Padding.Same, 0)
    with pytest.raises(ValueError, match="inputs need at least two dimensions"):
        nn.conv2d_transpose(np.zeros(4), np.zeros((3, 3, 1, 1)), 1)


def test_results_are_new_arrays_and_inputs_stay(core):
    x = np.array([1, 2, 3], np.int32)
    out = core.nn.add(x, x, 0)
    out[0] = 99
    assert x.tolist() == [1, 2, 3] and out.flags.owndata
    fifo = np.array([[1, 2], [3, 4]], np.int8)
    updated = core.nn.fifo_op(fifo, [5, 6])
    assert fifo.tolist() == [[1, 2], [3, 4]]
    assert updated.tolist() == [[3, 4], [5, 6]] and updated.dtype == np.int8


def test_conv2d_geometry_from_filters(core):
    nn = core.nn
    x = np.arange(5 * 5 * 4, dtype=np.int32).reshape(5, 5, 4)
    w = np.ones((3, 3, 4, 8), np.int8)
    assert nn.conv2d(x, w, 1, core.Padding.Same, 0).shape == (5, 5, 8)
    assert nn.conv2d(x, w, 2, core.Padding.Valid, 0).shape == (2, 2, 8)
    # Positions outside the input read the pad value.
    one = np.zeros((1, 1, 1), np.int32)
    assert nn.conv2d(one, np.ones((3, 3, 1, 1), np.int8), 1, core.Padding.Same, 2)[0, 0, 0] == 16


def test_depthwise_matches_conv2d_with_same_padding(core):
    nn = core.nn
    rng = np.random.default_rng(3)
    x = rng.integers(-50, 50, size=(6, 5, 1), dtype=np.int32)
    w = rng.integers(-3, 4, size=(3, 3, 1, 1), dtype=np.int8)
    for stride in (1, 2):
        expected = nn.conv2d(x, w, stride, core.Padding.Same, 0)
        assert np.array_equal(nn.depthwise_conv2d(x, w, stride), expected)


def test_conv2d_transpose_pads_by_half_the_excess(core):
    nn = core.nn
    assert nn.conv2d_transpose(np.ones((8, 8, 1)), np.ones((3, 3, 1, 2)), 2).shape == (16, 16, 2)
    # Kernel 5, stride 1: pad 2, so output p collects inputs p-2 .. p+2.
    out = nn.conv2d_transpose(np.ones((4, 4, 1)), np.ones((5, 5, 1, 1)), 1)
    assert out.shape == (4, 4, 1)
    assert out[0, 0, 0] == 9 and out[1, 1, 0] == 16
    # Kernel not larger than the stride: no padding, output p collects input p // 3.
    out = nn.conv2d_transpose(np.arange(1, 3).reshape(2, 1, 1), np.ones((3, 1, 1, 1)), 3)
    assert out[:, 0, 0].tolist() == [1, 1, 1, 2, 2, 2]
    # Kernel 257, stride 1: pad 128 from the whole size, so output 0 collects weight 128.
    w = np.zeros((257, 1, 1, 1), np.int8)
    w[0], w[128] = 1, 7
    out = nn.conv2d_transpose(np.full((1, 1, 1), 3), w, 1)
    assert out.shape == (1, 1, 1) and out[0, 0, 0] == 21
    # An output dimension past 32 bits is refused, not cut to its low bits.
    rows = 2**32 // 255 + 1
    with pytest.raises(ValueError, match=f"output dimension {255 * rows} does not fit 32 bits"):
        nn.conv2d_transpose(np.broadcast_to(np.int32(0), (rows, 1, 1)), np.ones((1, 1, 1, 1)), 255)


def test_scale_out_scale_types(core):
    nn = core.nn
    x = np.array([10, 10], np.int32)
    assert nn.scale_out(x, np.array([300, 2], np.uint16), [0, -1], 0, 1).tolist() == [3001, 11]
    # The same values as int32 (or a list) are cast to uint8: 300 wraps to 44.
    assert nn.scale_out(x, np.array([300, 2], np.int32), [0, -1], 0, 1).tolist() == [441, 11]
    assert nn.scale_out(x, [300, 2], [0, -1], 0, 1).tolist() == [441, 11]
    with pytest.raises(ValueError) as error:
        nn.scale_out(x, ["a", "b"], [0, 0], 0, 0)
    assert "Invalid source array" not in str(error.value)  # numpy's own error


def test_input_conv2d_ignores_its_sixth_argument(core):
    nn = core.nn
    x = np.arange(9, dtype=np.uint8).reshape(3, 3, 1)
    w = np.ones((3, 3, 1, 1), np.int8)
    first = nn.input_conv2d(x, w, 1, core.Padding.Same, [1], 0)
    assert np.array_equal(first, nn.input_conv2d(x, w, 1, core.Padding.Same, [1], 2 ** 32 - 1))
    # Corner: pixels 0, 1, 3, 4 and five pad values of 1.
    assert first[0, 0, 0] == 13 and first[1, 1, 0] == 36
    with pytest.raises(TypeError):
        nn.input_conv2d(x, w, 1, core.Padding.Same, [1], -1)


def test_temporal_operations(core):
    nn = core.nn
    out = nn.stateful_main_op([3, 5], [[1, 2], [-1, 1]], [4, 8], [1, 2], [2, 1], [1, 3], 0, -1)
    assert type(out) is tuple and len(out) == 2
    assert out[0].tolist() == [4, 13]
    assert out[1].tolist() == [[6, 19], [7, 25]]
    assert nn.subsampling_op(np.arange(5), 2).tolist() == [0, 2, 4]
    with pytest.raises(ValueError, match="factor must be positive"):
        nn.subsampling_op([1], 0)
    assert nn.depth_conv_like_op([[1, 2], [3, 4]], [[1, 1], [1, -1]], 0).tolist() == [4, -2]
    post = nn.mivopostprocessing_op([10, -10], [0, 0], [2, 2], 0, True)
    assert post.dtype == np.int16 and post.tolist() == [20, 0]
    assert nn.mivopostprocessing_op([10, -10], [0, 0], [2, 2], 0, None).tolist() == [20, -20]


def test_remaining_operations(core):
    nn = core.nn
    assert nn.lshift([1, -1], [2, 3], 1).tolist() == [8, -16]
    assert nn.shift_out([5, -5], [-1, -1], 0).tolist() == [2, -3]
    assert nn.matmul([[1, 2]], [[1, 0, 2], [0, 1, 2]], 0, False).tolist() == [[1, 2, 6]]
    assert nn.matmul([1, 2], [[1, 0], [0, 1], [2, 2]], 0, True).tolist() == [1, 2, 6]
    assert nn.concatenate([[1], [2]], [[3, 4], [5, 6]]).tolist() == [[1, 3, 4], [2, 5, 6]]
    assert nn.dequantize([2, 3], [0.5, 2.0]).tolist() == [1.0, 6.0]
    assert nn.relu_activation([-3, 5, 9], [4, 4, 4]).tolist() == [0, 4, 4]
    assert nn.look_up([-1, 1, 7], [10, 20, 30]).tolist() == [10, 20, 30]
    avg = nn.global_average_pooling(np.array([1, 2, 3, 4]).reshape(2, 2, 1), 0)
    assert avg.shape == (1, 1, 1) and avg[0, 0, 0] == 3  # 2.5 rounds up
    with pytest.raises(ValueError, match="add: the operands differ in shape"):
        nn.add([1, 2], [1], 0)
