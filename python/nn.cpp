// Submodule nn: the engine's reference operations on plain numpy arrays, for test and
// validation code. Each function converts its arrays into engine tensors (copies), works out
// the geometry an operation needs, calls one engine operation and returns a new numpy array.
// Every argument is positional: the functions define no argument names.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "python/convert.hpp"
#include "python/registry.hpp"
#include "qalto/layer.hpp"
#include "qalto/ops.hpp"

namespace qalto::python {

namespace {

// numpy casts any array-like to these during argument matching (an object it cannot convert
// makes the call match no signature: TypeError).
template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

using ops::ConstDensePtr;
using ops::DensePtr;

constexpr const char* kNnDoc =
    "Qalto Neural Network software internal functions. These are meant for testing, "
    "debugging and validation only.";

DensePtr to_int32(const py::handle& a) { return numpy_to_dense<int32_t>(a, TensorType::int32); }
DensePtr to_int8(const py::handle& a) { return numpy_to_dense<int8_t>(a, TensorType::int8); }
DensePtr to_uint8(const py::handle& a) { return numpy_to_dense<uint8_t>(a, TensorType::uint8); }
DensePtr to_int16(const py::handle& a) { return numpy_to_dense<int16_t>(a, TensorType::int16); }
DensePtr to_uint16(const py::handle& a) {
  return numpy_to_dense<uint16_t>(a, TensorType::uint16);
}
DensePtr to_float32(const py::handle& a) { return numpy_to_dense<float>(a, TensorType::float32); }

py::array out(const ConstDensePtr& tensor) { return tensor_to_numpy(tensor); }

// The first two dimensions of an array that defines a kernel (or, for conv2d_transpose, an
// input grid). A lower rank has no geometry and is refused before anything is read.
struct TwoDims {
  py::ssize_t first;
  py::ssize_t second;
};

TwoDims leading_dims(const py::array& a, const char* op, const char* what) {
  if (a.ndim() < 2) {
    throw std::invalid_argument(std::string(op) + ": the " + what +
                                " need at least two dimensions, got " +
                                std::to_string(a.ndim()) + ".");
  }
  return {a.shape(0), a.shape(1)};
}

// Kernel sizes taken as signed 32-bit numbers; a larger dimension cannot be a kernel.
int32_t kernel_size(py::ssize_t dim, const char* op) {
  if (dim > INT32_MAX) throw std::invalid_argument(std::string(op) + ": the kernel is too large.");
  return static_cast<int32_t>(dim);
}

// A transposed convolution pads by half of what the kernel exceeds the stride by.
int32_t transpose_pad(int32_t kernel, uint8_t stride) {
  return std::max<int32_t>(kernel - int32_t{stride}, 0) / 2;
}

// One output dimension of a transposed convolution: the stride times the input's. A product
// past 32 bits cannot be a tensor dimension and is refused rather than cut.
uint32_t transpose_output(py::ssize_t input, uint8_t stride) {
  const uint64_t size = uint64_t{stride} * static_cast<uint64_t>(input);
  if (size > UINT32_MAX) {
    throw std::invalid_argument("conv2d_transpose: the output dimension " + std::to_string(size) +
                                " does not fit 32 bits.");
  }
  return static_cast<uint32_t>(size);
}

ImagePatches conv_patches(const py::array& filters, uint8_t stride, Padding padding,
                          const Shape& input, const char* op) {
  const TwoDims k = leading_dims(filters, op, "filters");
  return ImagePatches(kernel_size(k.first, op), kernel_size(k.second, op), stride, stride, padding,
                      input);
}

// ---- the functions, in registration order ----

py::array lshift(const Array<int32_t>& x, const Array<uint8_t>& s, int32_t extra) {
  const auto a0 = to_int32(x);
  const auto a1 = to_uint8(s);
  return out(ops::lshift(a0, a1, extra));
}

py::array shift(const Array<int32_t>& x, const Array<int8_t>& s, int32_t extra) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(s);
  return out(ops::shift(a0, a1, extra));
}

py::array shift_out(const Array<int32_t>& x, const Array<int8_t>& s, int32_t extra) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(s);
  return out(ops::shift_out(a0, a1, extra));
}

py::array matmul(const Array<int32_t>& x, const Array<int32_t>& w, int32_t shift_amount,
                 bool transpose) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int32(w);
  return out(ops::matmul(a0, a1, shift_amount, transpose));
}

py::array add(const Array<int32_t>& a, const Array<int32_t>& b, int32_t shift_amount) {
  const auto a0 = to_int32(a);
  const auto a1 = to_int32(b);
  return out(ops::add(a0, a1, shift_amount));
}

py::array concatenate(const Array<int32_t>& a, const Array<int32_t>& b) {
  const ConstDensePtr a0 = to_int32(a);
  const ConstDensePtr a1 = to_int32(b);
  return out(ops::concatenate_last_dim({a0, a1}));
}

// The scale tensor: uint16 when the caller gave a uint16 numpy array, otherwise whatever numpy
// makes of the object as uint8 (numpy's own error when it cannot).
DensePtr scale_tensor(const py::object& scales) {
  const auto numpy = py::module_::import("numpy");
  if (py::isinstance(scales, numpy.attr("ndarray")) &&
      py::object(scales.attr("dtype")).equal(py::dtype::of<uint16_t>())) {
    return to_uint16(scales);
  }
  const py::object cast = numpy.attr("asarray")(scales).attr("astype")(
      py::dtype::of<uint8_t>(), py::arg("casting") = "unsafe");
  return to_uint8(cast);
}

py::array scale_out(const Array<int32_t>& x, const py::object& scales, const Array<int8_t>& s,
                    int32_t extra, int32_t zero_point) {
  const auto a0 = to_int32(x);
  const auto a2 = to_int8(s);
  const auto a1 = scale_tensor(scales);
  return out(ops::scale_out(a0, a1, a2, extra, zero_point));
}

py::array conv2d(const Array<int32_t>& x, const Array<int8_t>& w, uint8_t stride,
                 Padding padding, int32_t pad_value) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(w);
  const ImagePatches p = conv_patches(w, stride, padding, a0->dimensions(), "conv2d");
  return out(ops::conv2d_v2(a0, p.pad_x, p.pad_y, p.kernel_x, p.stride_x, p.out_x, p.out_y, a1,
                            pad_value));
}

// The sixth argument is accepted for callers that pass one and is not used.
py::array input_conv2d(const Array<uint8_t>& x, const Array<int8_t>& w, uint8_t stride,
                       Padding padding, const Array<uint8_t>& pad_values, uint32_t /*unused*/) {
  const auto a0 = to_uint8(x);
  const auto a1 = to_int8(w);
  const auto a4 = to_uint8(pad_values);
  const ImagePatches p = conv_patches(w, stride, padding, a0->dimensions(), "input_conv2d");
  const TwoDims k = leading_dims(w, "input_conv2d", "filters");
  const auto linear = ops::linearize_filters(a1);
  return out(ops::input_conv2d(a0, a4, p.pad_x, p.pad_y, p.stride_x, p.stride_y, p.kernel_x,
                               p.kernel_y, p.out_x, p.out_y, kernel_size(k.first, "input_conv2d"),
                               kernel_size(k.second, "input_conv2d"), linear));
}

py::array conv2d_transpose(const Array<int32_t>& x, const Array<int8_t>& w, uint8_t stride) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(w);
  const TwoDims k = leading_dims(w, "conv2d_transpose", "filters");
  const TwoDims in = leading_dims(x, "conv2d_transpose", "inputs");
  // Pads from the whole kernel size: a cut to fewer bits would shift every output.
  const int32_t pad_1 = transpose_pad(kernel_size(k.first, "conv2d_transpose"), stride);
  const int32_t pad_2 = transpose_pad(kernel_size(k.second, "conv2d_transpose"), stride);
  const uint32_t out_1 = transpose_output(in.first, stride);
  const uint32_t out_2 = transpose_output(in.second, stride);
  return out(ops::conv2d_transpose(a0, a1, stride, pad_1, pad_2, out_1, out_2));
}

py::array dequantize(const Array<int32_t>& x, const Array<float>& scales) {
  const auto a0 = to_int32(x);
  const auto a1 = to_float32(scales);
  return out(ops::dequantize(a0, a1));
}

py::array depthwise_conv2d(const Array<int32_t>& x, const Array<int8_t>& w, uint8_t stride) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(w);
  const ImagePatches p =
      conv_patches(w, stride, Padding::Same, a0->dimensions(), "depthwise_conv2d");
  return out(ops::depthwise_conv2d(a0, p.pad_x, p.pad_y, p.kernel_x, p.stride_x, p.out_x,
                                   p.out_y, a1));
}

py::array relu_activation(const Array<int32_t>& x, const Array<int32_t>& max_values) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int32(max_values);
  return out(ops::relu_activation(a0, a1));
}

py::array look_up(const Array<int32_t>& x, const Array<int32_t>& lut) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int32(lut);
  return out(ops::look_up(a0, a1));
}

py::array global_average_pooling(const Array<int32_t>& x, int32_t shift_amount) {
  const ConstDensePtr a0 = to_int32(x);
  return out(ops::global_average_pooling(a0, shift_amount));
}

py::array max_pooling(const Array<int32_t>& x, uint8_t pool_x, int8_t pool_y, int8_t stride_x,
                      uint8_t stride_y, Padding padding, int32_t shift_amount) {
  const ConstDensePtr a0 = to_int32(x);
  const ImagePatches p(pool_x, pool_y, stride_x, stride_y, padding, a0->dimensions());
  return out(ops::max_pooling(a0, static_cast<int8_t>(pool_x), pool_y, false, p.out_x, p.out_y,
                              p.pad_x, p.pad_y, p.stride_x, p.stride_y, p.kernel_x, p.kernel_y,
                              shift_amount));
}

py::array fifo_op(const Array<int8_t>& fifo, const Array<int8_t>& frame) {
  const auto a0 = to_int8(fifo);
  const auto a1 = to_int8(frame);
  ops::fifo_op(a0, a1);
  return out(a0);
}

py::array depth_conv_like_op(const Array<int32_t>& x, const Array<int8_t>& kernel,
                             int32_t shift_amount) {
  const auto a0 = to_int32(x);
  const auto a1 = to_int8(kernel);
  return out(ops::depthwise_like_conv(a0, a1, shift_amount));
}

py::tuple stateful_main_op(const Array<int32_t>& x, const Array<int8_t>& w,
                           const Array<int32_t>& state_1, const Array<int32_t>& state_2,
                           const Array<int16_t>& decay_1, const Array<int16_t>& decay_2,
                           int32_t state_shift, int32_t output_shift) {
  const auto a0 = to_int32(x);
  const auto a2 = to_int32(state_1);
  const auto a3 = to_int32(state_2);
  const auto a4 = to_int16(decay_1);
  const auto a5 = to_int16(decay_2);
  const auto a1 = to_int8(w);
  const auto [first, second] =
      ops::update_internal_state(a0, a1, a2, a3, a4, a5, state_shift, output_shift);
  py::array second_array = out(second);
  py::array first_array = out(first);
  return py::make_tuple(first_array, second_array);
}

py::array subsampling_op(const Array<int32_t>& x, uint8_t factor) {
  const auto a0 = to_int32(x);
  return out(ops::subsampling(a0, factor));
}

py::array mivopostprocessing_op(const Array<int16_t>& x, const Array<int16_t>& offsets,
                                const Array<uint16_t>& scales, int32_t shift_amount, bool relu) {
  const auto a0 = to_int16(x);
  const auto a1 = to_int16(offsets);
  const auto a2 = to_uint16(scales);
  return out(ops::mivo_post_processing(a0, a1, a2, shift_amount, relu));
}

}  // namespace

void register_nn(py::module_& m) {
  py::module_ nn = m.def_submodule("nn", kNnDoc);
  nn.def("lshift", &lshift);
  nn.def("shift", &shift);
  nn.def("shift_out", &shift_out);
  nn.def("matmul", &matmul);
  nn.def("add", &add);
  nn.def("concatenate", &concatenate);
  nn.def("scale_out", &scale_out);
  nn.def("conv2d", &conv2d);
  nn.def("input_conv2d", &input_conv2d);
  nn.def("conv2d_transpose", &conv2d_transpose);
  nn.def("dequantize", &dequantize);
  nn.def("depthwise_conv2d", &depthwise_conv2d);
  nn.def("relu_activation", &relu_activation);
  nn.def("look_up", &look_up);
  nn.def("global_average_pooling", &global_average_pooling);
  nn.def("max_pooling", &max_pooling);
  nn.def("fifo_op", &fifo_op);
  nn.def("depth_conv_like_op", &depth_conv_like_op);
  nn.def("stateful_main_op", &stateful_main_op);
  nn.def("subsampling_op", &subsampling_op);
  nn.def("mivopostprocessing_op", &mivopostprocessing_op);
}

}  // namespace qalto::python
