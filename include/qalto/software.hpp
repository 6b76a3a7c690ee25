#pragma once
// Software execution of layers on the reference operations (qalto/ops.hpp), one sample at a
// time, and the sequence that holds the layers a mapping leaves to software.
//
// Arithmetic of each layer type (values held as int32 between layers):
//  - InputData: the sample as it is. Quantizer: round(x / scale[c]) + zero_point[c] (a scale of
//    0 counts as 1), clamped to the output range.
//  - Conv2D, InputConv2D, DepthwiseConv2D, Conv2DTranspose: x << input_shift[c], convolution,
//    + bias[f] << bias_shift[f], pooling (max, or global average for "pool_size" -1), then the
//    output stage: shifted by output_shift[f]; ReLU clamps to [0, limit] with limit the largest
//    output value, lowered to max_value[f] << max_value_shift[f] when max_value[f] is not 0;
//    LUT reads "lut_values" at the clamped index; no activation keeps the int32 potential.
//  - Dense1D: the same output stage over the flattened input times "weights" (inputs, units).
//  - Convolutional, InputConvolutional, FullyConnected (the first generation): potentials, then
//    with activation 0 when potential <= threshold, else min((potential - threshold) / act_step
//    + 1, limit) (an act_step of 0 counts as 1).
//  - Add: ((a << a_shift[c]) + (b << b_shift[c])) shifted by output_shift[c], clamped to the
//    output range when "output_bits" is at most 8. Concatenate: channels joined in inbound
//    order. Dequantizer: x * scale[c] as float32.
// Other types throw runtime_error "Layer type <type> has no software reference operation.".

#include <memory>
#include <string>
#include <vector>

#include "qalto/layer.hpp"
#include "qalto/sequence.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

namespace software {

// The element type of a layer's output: uint8/int8 for layers ending in an activation, a
// Quantizer or an 8-bit input layer; float32 for a Dequantizer; int32 otherwise.
TensorType output_type(const Layer& layer);

// Runs `layers` (model order) on one (x, y, c) sample; an inbound layer outside `layers` reads
// `sample`. Returns the last layer's output in its output type.
std::shared_ptr<Dense> run_sample(const std::vector<std::shared_ptr<Layer>>& layers,
                                  const std::shared_ptr<const Dense>& sample);

// The potentials of a FullyConnected or Dense1D layer for a flattened input, one per unit.
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
