#pragma once
// Software execution of layers on the reference operations (qalto/ops.hpp), one sample at a
// time, and the sequence that holds the layers a mapping leaves to software.
//
// Arithmetic of each layer type (values held as int32 between layers):
//  - InputData: the sample as it is. Quantizer: round(x / scale[c]) + zero_point[c] (a scale of
//    0 counts as 1), clamped to the output range.
//  - Conv2D, InputConv2D, DepthwiseConv2D, Conv2DTranspose, DepthwiseConv2DTranspose:
//    x << input_shift[c], convolution, + bias[f] << bias_shift[f], pooling, then the output
//    stage: shifted by output_shift[f]; ReLU clamps to [0, limit] with limit the largest output
//    value, lowered to max_value[f] << max_value_shift[f] when max_value[f] is not 0; LUT reads
//    "lut_values" at the clamped index, each entry of which must be a whole number within the
//    output range and int32 (else runtime_error "Layer <name>: lut_values[i] = <v> is outside
//    the output range [<low>, <high>]." or "... is not a whole number."); no activation keeps
//    the int32 potential.
//    Transposed convolutions cut max(kernel - stride, 0) / 2 output positions at the start
//    (none with Valid padding); a depthwise one convolves every channel with its own kernel.
//  - Pooling (both generations): max over the window; average over the window's positions
//    that lie inside the map (padding is not counted), rounded half up; "pool_size" -1 of the
//    second generation averages the whole map.
//  - Dense1D: the same output stage over the flattened input times "weights" (inputs, units).
//  - Convolutional, InputConvolutional, SeparableConvolutional, FullyConnected (the first
//    generation): potentials, pooling, then with activation 0 when potential <= threshold, else
//    min((potential - threshold) / act_step + 1, limit) (an act_step of 0 counts as 1). Square
//    kernels and equal strides only. SeparableConvolutional convolves every channel with
//    "weights" (kw, kh, 1, C), then combines the int32 results with "weights_pw" (1, 1, C, F).
//  - Add: ((a << a_shift[c]) + (b << b_shift[c])) shifted by output_shift[c], clamped to the
//    output range when "output_bits" is at most 8. Concatenate: channels joined in inbound
//    order. Dequantizer: x * scale[c] as float32.
//  - StatefulRecurrent, input (width, T, C): every width column is a stream of T timesteps with
//    a state of its own (two int32 values per state channel j, both 0 when a run starts). For
//    each timestep, with x the C values << input_shift[c]:
//      p[j]  = sum_c x[c] * in_proj[c][j]
//      s1[j] = shift(A_real[j] * s1[j] + p[j], new_state_shift[j])
//      s2[j] = shift(A_imag[j] * s2[j] + s1[j], new_state_shift[j])
//      h[j]  = shift(s2[j] * new_state_scale[j], internal_state_outputs_shift[j])
//      q[k]  = sum_j h[j] * out_proj[j][k] + (bias[k] << bias_shift[k])
//      o[k]  = shift(q[k] * scale[k], shift[k])
//    with scale/shift the layer's "output_scales"/"output_shift", or, when its first outbound
//    layer is a MivoPostProcessing, that layer's "input_scales"/"input_shift" (as the chip
//    takes them). Outputs are signed values of "output_bits" bits (ReLU clamps to
//    [0, limit] as above); before a MivoPostProcessing they are int16 values. Only timesteps
//    0, subsample, 2 * subsample, ... are output, but the state advances at every timestep.
//    A_real and A_imag are the int16 factors of the two state stages; shifts follow
//    ops::shift_value (negative amounts divide, rounding half up).
//  - MivoPostProcessing: ops::mivo_post_processing with the chip's closing-layer constants:
//    (x - threshold[c]) shifted by -floor(log2 T) (T the input's second dimension), inputs
//    saturated to int16, int16 outputs, no ReLU. A threshold above 32767 is refused.
// State: the StatefulRecurrent states live in a software::Run; they carry over from one sample
// to the next of that run and start at 0 in every new run. A sample that fails leaves them as
// they were.
// Types without a described computation (BufferTempConv, DepthwiseBufferTempConv: how their
// weights apply to the buffered frames is not defined) throw runtime_error
// "Layer type <type> has no software reference operation.". Wrong variable shapes, a
// non-square kernel or unequal strides of the first generation, a stride or subsample factor
// above 255 or a window that the operations cannot take throw runtime_error naming the layer.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qalto/layer.hpp"
#include "qalto/sequence.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

namespace software {

// The largest transposed-convolution stride and recurrent subsample factor: the reference
// operations take them as 8-bit values, so a larger one would wrap instead of being refused.
constexpr int32_t kMaxByteParam = 255;

// The element type of a layer's output: uint8/int8 for layers ending in an activation, a
// Quantizer or an 8-bit input layer; int8/int16/int32 (the narrowest that holds "output_bits"
// signed bits, int16 before a MivoPostProcessing) for a StatefulRecurrent; int16 for a
// MivoPostProcessing; float32 for a Dequantizer; int32 otherwise.
TensorType output_type(const Layer& layer);

// The state of one StatefulRecurrent layer within a run (defined in software.cpp).
struct RecurrentState;

// Outputs of layers computed outside a run, by layer, for one sample.
using KnownOutputs = std::map<const Layer*, std::shared_ptr<const Dense>>;

// One software run of `layers` (model order) over consecutive samples: the states of the
// temporal layers carry over from one sample to the next. A new Run starts from zero states.
class Run {
 public:
  explicit Run(std::vector<std::shared_ptr<Layer>> layers);
  ~Run();
  Run(Run&&) noexcept;
  Run& operator=(Run&&) noexcept;

  // Runs the next (x, y, c) sample; an inbound layer outside the run's layers reads `sample`.
  // Returns the last layer's output in its output type (a copy of the sample when there are no
  // layers). Throws runtime_error (see the header comment) or the operations' invalid_argument;
  // after an exception the states are those before the sample.
  std::shared_ptr<Dense> sample(const std::shared_ptr<const Dense>& sample);

  // Runs `samples` in order, as consecutive calls of `sample`, and returns their outputs. When
  // no layer keeps a temporal state the samples are independent and spread over threads (see
  // set_thread_count); the outputs and the exception (that of the first failing sample) are
  // the same as one after the other. With `known` (one entry per sample, else invalid_argument)
  // sample s reads known[s] first: a layer listed there (an InputData fed the model's input)
  // is not computed, and an inbound layer outside the run listed there is read from it.
  std::vector<std::shared_ptr<const Dense>> samples(
      const std::vector<std::shared_ptr<const Dense>>& samples,
      const std::vector<KnownOutputs>* known = nullptr);

 private:
  std::shared_ptr<Dense> run_one(const std::shared_ptr<const Dense>& sample,
                                 const KnownOutputs& known);

  std::vector<std::shared_ptr<Layer>> layers_;
  std::map<const Layer*, std::unique_ptr<RecurrentState>> states_;
};

// The number of threads a software run spreads independent samples over: `count` whatever the
// work, or with 0 (the default) one per hardware thread, used only when a sample takes about a
// million multiply-accumulates or more (fewer would not pay for starting the threads).
// Process-wide; for benchmarks and tests.
void set_thread_count(unsigned count);
unsigned thread_count();

// Runs `layers` on one sample as a run of its own (temporal states start at zero).
std::shared_ptr<Dense> run_sample(const std::vector<std::shared_ptr<Layer>>& layers,
                                  const std::shared_ptr<const Dense>& sample);

// The potentials of a FullyConnected or Dense1D layer for a flattened input, one per unit:
// exact sums, saturated to int64 (reachable only with float inputs near 2^63).
std::vector<int64_t> dense_potentials(const Layer& layer, const Dense& input);

}  // namespace software

// A sequence of layers run on the reference operations.
class SoftwareSequence : public Sequence {
 public:
  explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers);
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Software; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "Software sequence"; }
  const std::vector<std::shared_ptr<Layer>>& layers() const { return passes_.front()->layers; }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
};

}  // namespace qalto
