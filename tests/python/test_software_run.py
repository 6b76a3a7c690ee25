"""Model.forward in software for the convolution, pooling, recurrent and post-processing types."""

import numpy as np
import pytest


def model(core, width, height, channels, *layers):
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData,
                                      {"input_width": width, "input_height": height,
                                       "input_channels": channels}), "input"))
    for layer_type, params, name in layers:
        m.add(core.Layer(core.LayerParams(layer_type, params), name))
    return m


def set_vars(m, name, **values):
    for key, value in values.items():
        m.get_layer(name).variables[key] = value


def test_depthwise_transpose(core):
    m = model(core, 2, 1, 2,
              (core.LayerType.DepthwiseConv2DTranspose, {"kernel_size": 2, "activation": 0}, "dwt"))
    w = np.zeros((2, 2, 1, 2), np.int8)
    w[:, :, 0, 0] = [[1, 2], [3, 4]]
    w[:, :, 0, 1] = -1
    set_vars(m, "dwt", weights=w)
    x = np.array([[[[1, 3]], [[2, 4]]]], np.uint8)  # (1, 2, 1, 2)
    out = m.forward(x)
    assert out.dtype == np.int32 and out.shape == (1, 4, 2, 2)
    np.testing.assert_array_equal(out[0, :, :, 0], [[1, 2], [3, 4], [2, 4], [6, 8]])
    np.testing.assert_array_equal(out[0, :, :, 1], [[-3, -3], [-3, -3], [-4, -4], [-4, -4]])


def test_separable_convolutional(core):
    m = model(core, 2, 2, 1, (core.LayerType.SeparableConvolutional, {"filters": 2}, "sep"))
    dw = np.zeros((3, 3, 1, 1), np.int8)
    dw[1, 1, 0, 0] = 1
    dw[2, 1, 0, 0] = 2
    set_vars(m, "sep", weights=dw, weights_pw=np.array([[[[2, -1]]]], np.int8),
             threshold=np.array([5, -100], np.int32), act_step=np.array([2, 1], np.float32))
    out = m.forward(np.array([[[[1], [2]], [[3], [4]]]], np.uint8))
    assert out.dtype == np.uint8 and out.shape == (1, 2, 2, 2)
    np.testing.assert_array_equal(out[0, :, :, 0], [[5, 8], [1, 2]])
    np.testing.assert_array_equal(out[0, :, :, 1], [[94, 91], [98, 97]])


def test_average_pooling_window(core):
    m = model(core, 3, 3, 1, (core.LayerType.Conv2D,
                              {"filters": 1, "kernel_size": 1, "activation": 0, "pool_type": 2,
                               "pool_size": 2, "pool_padding": 1}, "conv"))
    set_vars(m, "conv", weights=np.ones((1, 1, 1, 1), np.int8))
    x = np.arange(1, 10, dtype=np.uint8).reshape(1, 3, 3, 1)
    np.testing.assert_array_equal(m.forward(x)[0, :, :, 0], [[3, 5], [8, 9]])


def recurrent_series(core, timesteps):
    m = model(core, 1, timesteps, 1,
              (core.LayerType.StatefulRecurrent, {"units": 1}, "rec"),
              (core.LayerType.MivoPostProcessing, {}, "post"))
    set_vars(m, "rec", in_proj=np.array([[1]], np.int8), out_proj=np.array([[100]], np.int8),
             A_real=np.array([1], np.int16), new_state_scale=np.array([1], np.uint8))
    set_vars(m, "post", input_scales=np.array([3], np.uint16),
             threshold=np.array([450], np.uint16))
    return m


def test_recurrent_then_post_processing(core):
    m = recurrent_series(core, 4)
    # The state sums the inputs: 1, 3, 6, 10; times 300, minus 450, divided by 4 (half up).
    out = m.forward(np.array([[[[1], [2], [3], [4]]]], np.uint8))
    assert out.dtype == np.int16 and out.shape == (1, 1, 4, 1)
    np.testing.assert_array_equal(out[0, 0, :, 0], [-37, 113, 338, 638])
    m.get_layer("post").variables["threshold"] = np.array([40000], np.uint16)
    with pytest.raises(RuntimeError, match="threshold 40000"):
        m.forward(np.array([[[[1], [2], [3], [4]]]], np.uint8))


def test_recurrent_state_carries_over_the_samples_of_one_forward(core):
    m = recurrent_series(core, 4)
    x = np.array([[[[1], [2], [3], [4]]]], np.uint8)
    out = m.forward(np.concatenate([x, x]))
    # The second sample starts from the state the first one left (10): 11, 13, 16, 20.
    np.testing.assert_array_equal(out[0, 0, :, 0], [-37, 113, 338, 638])
    np.testing.assert_array_equal(out[1, 0, :, 0], [713, 863, 1088, 1388])
    # A new forward starts again from zero states.
    np.testing.assert_array_equal(m.forward(x)[0, 0, :, 0], [-37, 113, 338, 638])


def test_recurrent_alone_subsamples(core):
    m = model(core, 1, 5, 1, (core.LayerType.StatefulRecurrent, {"units": 1, "subsample": 2}, "rec"))
    set_vars(m, "rec", in_proj=np.array([[1]], np.int8), out_proj=np.array([[1]], np.int8),
             A_real=np.array([1], np.int16), new_state_scale=np.array([1], np.uint8),
             output_scales=np.array([1], np.uint8))
    out = m.forward(np.array([[[[1], [1], [1], [1], [200]]]], np.uint8))
    assert out.dtype == np.int8 and out.shape == (1, 1, 3, 1)
    np.testing.assert_array_equal(out[0, 0, :, 0], [1, 3, 127])  # 204 saturates at 8 bits


@pytest.mark.parametrize("name", ["BufferTempConv", "DepthwiseBufferTempConv"])
def test_buffered_types_raise_naming_the_type(core, name):
    params = {"fifo_size": 2, "filters": 2} if name == "BufferTempConv" else {"fifo_size": 2}
    m = model(core, 2, 2, 2, (getattr(core.LayerType, name), params, "buffered"))
    with pytest.raises(RuntimeError, match=f"^Layer type {name} has no software reference operation.$"):
        m.forward(np.ones((1, 2, 2, 2), np.uint8))
