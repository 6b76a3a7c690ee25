"""numpy arrays to engine tensors and back, through the test-only hooks."""
import numpy as np
import pytest

qt = pytest.importorskip("qalto_testing")

DTYPES = ["int8", "uint8", "int16", "uint16", "int32", "float32"]


def values_for(dtype):
    info = np.iinfo(dtype) if dtype != "float32" else None
    if info is None:
        return np.array([[-1.5, 0.0, 3.25], [1e30, -7.0, 2.0]], dtype=np.float32)
    return np.array([[info.min, 0, info.max], [1, 2, 3]], dtype=dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip_keeps_values_type_and_shape(dtype):
    source = values_for(dtype)
    dense = qt.to_dense(dtype, source)
    assert dense.type_name == dtype
    assert dense.dims == [2, 3]
    assert dense.layout == 0
    assert dense.strides == [3, 1]
    assert dense.raw == source.tobytes()
    back = dense.numpy()
    assert back.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(back, source)


@pytest.mark.parametrize("dtype", DTYPES)
def test_rank_must_be_one_to_four(dtype):
    with pytest.raises(ValueError) as scalar:
        qt.to_dense(dtype, np.array(3, dtype=dtype))
    assert str(scalar.value) == "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"
    with pytest.raises(ValueError) as rank5:
        qt.to_dense(dtype, np.zeros((1, 1, 1, 1, 2), dtype=dtype))
    assert str(rank5.value) == "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"
    assert qt.to_dense(dtype, np.ones((1, 2, 3, 4), dtype=dtype)).dims == [1, 2, 3, 4]


def test_a_python_scalar_is_rank_zero():
    with pytest.raises(ValueError, match="with 0 dimensions"):
        qt.to_dense("int32", 5)


def test_first_zero_dimension_is_named():
    with pytest.raises(RuntimeError) as middle:
        qt.to_dense("uint8", np.zeros((2, 0, 3), dtype=np.uint8))
    assert str(middle.value) == "Cannot have a shape with dimension 1 set to 0"
    with pytest.raises(RuntimeError) as first:
        qt.to_dense("float32", np.zeros((0,), dtype=np.float32))
    assert str(first.value) == "Cannot have a shape with dimension 0 set to 0"
    with pytest.raises(RuntimeError, match="dimension 0 set to 0"):
        qt.to_dense("int16", np.zeros((0, 0), dtype=np.int16))


def test_transposed_array_arrives_in_c_order():
    source = np.arange(6, dtype=np.int8).reshape(2, 3).T  # shape (3, 2), column-major memory
    assert not source.flags.c_contiguous
    dense = qt.to_dense("int8", source)
    assert dense.dims == [3, 2]
    assert dense.raw == bytes([0, 3, 1, 4, 2, 5])
    np.testing.assert_array_equal(dense.numpy(), source)


def test_strided_view_is_gathered():
    base = np.arange(20, dtype=np.int32).reshape(4, 5)
    view = base[::2, 1::2]
    np.testing.assert_array_equal(qt.to_dense("int32", view).numpy(), view)


def test_other_element_types_are_cast():
    dense = qt.to_dense("float32", np.array([0.1, 2.5, -3.0], dtype=np.float64))
    assert dense.type_name == "float32"
    assert dense.raw == np.array([0.1, 2.5, -3.0], dtype=np.float32).tobytes()
    # Unsafe casts are taken as numpy makes them.
    assert qt.to_dense("int8", np.array([1.9, -1.9, 300.0])).raw[:2] == bytes([1, 0xFF])
    assert qt.to_dense("uint16", np.array([True, False])).numpy().tolist() == [1, 0]


@pytest.mark.parametrize("dtype", DTYPES)
def test_lists_are_accepted(dtype):
    dense = qt.to_dense(dtype, [[1, 2], [3, 4]])
    assert dense.dims == [2, 2]
    assert dense.numpy().tolist() == [[1, 2], [3, 4]]
    assert dense.numpy().dtype == np.dtype(dtype)


@pytest.mark.parametrize("bad", [[[1, 2], [3]], "abc", None, {"a": 1}, object()])
def test_unconvertible_input_is_refused(bad):
    with pytest.raises(ValueError) as error:
        qt.to_dense("int32", bad)
    assert str(error.value) == "Invalid source array."


def test_numpy_error_is_not_left_pending():
    with pytest.raises(ValueError):
        qt.to_dense("int8", "abc")
    # A pending Python error would surface in the next call.
    assert qt.to_dense("int8", [1]).numpy().tolist() == [1]


def test_type_must_be_stored_as_the_instance_element():
    assert qt.to_dense("int8", [1, -1, 0], type=9).type_name == "bit"
    assert qt.to_dense("uint8", [15], type=7).type_name == "uint4"
    with pytest.raises(RuntimeError) as error:
        qt.to_dense("int32", [1.0], type=1)
    assert str(error.value) == "Wrong requested type int32 for a tensor of type float32"


@pytest.mark.parametrize("type_value,name,dtype", [
    (5, "int4", np.int8), (6, "int2", np.int8), (9, "bit", np.int8),
    (7, "uint4", np.uint8), (8, "uint2", np.uint8),
])
def test_packed_types_come_back_widened(type_value, name, dtype):
    raw = bytes([1, 0, 1, 1]) if name == "bit" else np.array([1, -1 if dtype == np.int8 else 3, 0, 1], dtype=dtype).tobytes()
    dense = qt.make_dense(type_value, [2, 2], 0, raw)
    assert dense.type_name == name
    back = dense.numpy()
    assert back.dtype == dtype
    assert back.shape == (2, 2)
    assert back.tobytes() == raw


def test_wide_types_keep_their_width():
    assert qt.make_dense(3, [2], 0, np.array([-2, 7], np.int16).tobytes()).numpy().dtype == np.int16
    values = np.array([65535, 1], np.uint16)
    back = qt.make_dense(10, [2], 0, values.tobytes()).numpy()
    assert back.dtype == np.uint16 and back.tolist() == [65535, 1]


def test_layout_one_comes_back_with_reversed_axes():
    # Dimensions (a, b) = (2, 3) with the first axis varying fastest.
    raw = np.arange(6, dtype=np.int32).tobytes()
    dense = qt.make_dense(0, [2, 3], 1, raw)
    assert dense.strides == [1, 2]
    back = dense.numpy()
    assert back.shape == (3, 2)
    # Element (i, j) of the tensor is at i + 2 * j: numpy [j, i].
    assert back.tolist() == [[0, 1], [2, 3], [4, 5]]
    assert back.flags.c_contiguous and back.flags.owndata


def test_layout_one_rank_three():
    raw = np.arange(24, dtype=np.uint8).tobytes()
    back = qt.make_dense(2, [2, 3, 4], 1, raw).numpy()
    assert back.shape == (4, 3, 2)
    assert back[3, 2, 1] == 1 + 2 * 2 + 6 * 3


def test_unknown_type_is_not_convertible():
    with pytest.raises(RuntimeError) as error:
        qt.odd_tensor_to_numpy(11)
    assert str(error.value) == "Unable to convert a tensor of type unknown\n"
    with pytest.raises(RuntimeError, match="^Tensor is not dense.$"):
        qt.odd_tensor_to_numpy(4)


def test_copies_are_independent():
    source = np.array([1, 2, 3], dtype=np.int16)
    dense = qt.to_dense("int16", source)
    source[0] = 100
    assert dense.numpy().tolist() == [1, 2, 3]
    out = dense.numpy()
    out[1] = -5
    assert dense.numpy().tolist() == [1, 2, 3]
    assert out.flags.owndata and out.flags.writeable


def test_returned_array_outlives_the_tensor():
    out = qt.to_dense("float32", [1.5, 2.5]).numpy()
    import gc
    gc.collect()
    assert out.tolist() == [1.5, 2.5]
