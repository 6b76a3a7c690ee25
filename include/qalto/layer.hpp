#pragma once
// Engine layers: types, parameters, variables, the layer graph and a layer's mapping slot.
//
// Shapes of feature maps are (width, height, channels). Output dimensions and the computed
// convolution and pooling parameters follow the usual convolution arithmetic (see
// engine/layer_shapes.cpp and docs/layers.md):
//   Valid:           out = (in - kernel) / stride + 1, no padding
//   Same, SameUpper: out = ceil(in / stride), total padding = max((out-1)*stride + kernel - in, 0);
//                    Same puts the odd pixel bottom/right, SameUpper top/left.
//   Transposed:      Valid out = (in - 1) * stride + kernel, Same out = in * stride.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

enum class LayerType : uint32_t {
  Unknown = 0,
  InputData = 1,
  InputConvolutional = 2,
  FullyConnected = 3,
  Convolutional = 4,
  SeparableConvolutional = 5,
  Add = 6,
  Concatenate = 12,
  Conv2D = 14,
  InputConv2D = 15,
  DepthwiseConv2D = 16,
  Conv2DTranspose = 17,
  Dequantizer = 19,
  DepthwiseConv2DTranspose = 20,
  BufferTempConv = 21,
  DepthwiseBufferTempConv = 22,
  Dense1D = 25,
  StatefulRecurrent = 26,
  Quantizer = 27,
  MivoPostProcessing = 28,
};

// "Unknown" for Unknown and for a value outside the enum.
const char* layer_type_name(LayerType type);

// Whether `text` is well-formed UTF-8. Layer names, parameter and learning keys and variable
// names must be: Python reads them back as str.
bool is_valid_utf8(const std::string& text);

enum class Padding : uint32_t { Valid = 0, Same = 1, SameUpper = 2 };
enum class PoolType : uint32_t { NoPooling = 0, Max = 1, Average = 2 };
enum class ActivationType : uint32_t { NoActivation = 0, ReLU = 1, LUT = 2 };

// The kind of hardware a layer runs on (a numbering apart from hw::Type).
enum class ComponentKind : uint8_t {
  None = 0,
  HRC = 1,
  CNP = 2,
  FNP = 3,
  SKIP_DMA = 4,
  TNP_B = 5,
  TNP_R = 6,
  DMA = 7,
};

// The component kind a hw::Type belongs to (None for None and unknown values).
ComponentKind component_kind_of(hw::Type type);

// A named set of integer parameters of one layer type.
class LayerParams {
 public:
  static std::shared_ptr<LayerParams> create(LayerType type,
                                             const std::map<std::string, int32_t>& entries);
  static std::shared_ptr<LayerParams> clone(const LayerParams& params);

  // The value of an entry; invalid_argument "Key <key> not found" when absent.
  int32_t get(const std::string& key) const;
  // The value of an entry, or `fallback` when absent.
  int32_t get_or(const std::string& key, int32_t fallback) const;
  bool has(const std::string& key) const;
  // Names of the stored entries, sorted.
  std::vector<std::string> keys() const;
  LayerType layer_type() const { return type_; }
  void set(const std::string& key, int32_t value) { entries_[key] = value; }
  const std::map<std::string, int32_t>& entries() const { return entries_; }

  LayerParams(LayerType type, std::map<std::string, int32_t> entries)
      : type_(type), entries_(std::move(entries)) {}

 private:
  LayerType type_;
  std::map<std::string, int32_t> entries_;
};

// Learning parameters of a layer: a learning type and named floating-point values.
class LearningParams {
 public:
  static std::shared_ptr<LearningParams> create(int32_t learning_type,
                                                const std::map<std::string, double>& entries);
  static std::shared_ptr<LearningParams> clone(const LearningParams& params);

  // invalid_argument "Key <key> not found" when absent.
  double get(const std::string& key) const;
  bool has(const std::string& key) const { return entries_.count(key) != 0; }
  std::vector<std::string> keys() const;
  int32_t learning_type() const { return type_; }
  void set(const std::string& key, double value) { entries_[key] = value; }

  LearningParams(int32_t type, std::map<std::string, double> entries)
      : type_(type), entries_(std::move(entries)) {}

 private:
  int32_t type_;
  std::map<std::string, double> entries_;
};

// A layer's named tensors (weights, thresholds, shifts...).
class Variables {
 public:
  // Names, sorted.
  std::vector<std::string> names() const;
  // invalid_argument "<name> : no such variable" when absent.
  std::shared_ptr<Dense> get(const std::string& name) const;
  bool has(const std::string& name) const { return tensors_.count(name) != 0; }
  // Replaces a variable. When the variable is declared, the new tensor must have its type and
  // shape, and a packed type's values must lie in its range (invalid_argument otherwise, the
  // variable unchanged). An undeclared name is added as it is.
  void set(const std::string& name, std::shared_ptr<Dense> tensor);
  // Adds or replaces a variable without checks (used by the engine when it builds a layer).
  void declare(const std::string& name, std::shared_ptr<Dense> tensor);
  // The bytes of all the variables.
  uint64_t byte_size() const;

 private:
  std::map<std::string, std::shared_ptr<Dense>> tensors_;
};

struct PaddingParams {
  uint32_t top = 0;
  uint32_t bottom = 0;
  uint32_t left = 0;
  uint32_t right = 0;
};

// Computed convolution parameters: strides, then the convolution's output width and height
// (before pooling), then its padding.
struct ConvCalculatedParams {
  uint32_t stride_x = 1;
  uint32_t stride_y = 1;
  uint32_t output_width = 0;
  uint32_t output_height = 0;
  PaddingParams padding;
};

// Computed pooling parameters: strides, pooled output width and height, padding, and whether
// pooling is applied.
struct PoolingCalculatedParams {
  uint8_t stride_x = 1;
  uint8_t stride_y = 1;
  uint32_t width = 0;
  uint32_t height = 0;
  PaddingParams padding;
  bool pooling = false;
};

class Layer : public std::enable_shared_from_this<Layer> {
 public:
  // The mapping record a hardware mapping attaches to a layer.
  class Mapping {
   public:
    virtual ~Mapping() = default;
    std::shared_ptr<std::vector<hw::Component>> components =
        std::make_shared<std::vector<hw::Component>>();
  };

  // Validates the parameters for the type and fills in defaults. invalid_argument for a bad
  // value, for a type outside the enum ("Cannot create a layer of unknown type <n>."), and for a
  // name or parameter key that is not UTF-8.
  static std::shared_ptr<Layer> create(const LayerParams& params, const std::string& name);
  // As above, taking the parameters over rather than copying them.
  static std::shared_ptr<Layer> create(LayerParams&& params, const std::string& name);

  const std::string& get_name() const { return name_; }
  // The input shapes, one per inbound layer; runtime_error
  // "Cannot get input size before it is set." until set.
  const std::vector<Shape>& input_dimensions() const;
  bool has_input_dimensions() const { return !input_dims_.empty(); }
  const Shape& output_dimensions() const { return output_dims_; }

  // The width of the values the layer reads: its first inbound layer's output bits (an
  // InputData's default to its "input_bits"), else its own "input_bits" (8 by default).
  uint8_t input_bits() const;
  uint8_t output_bits() const;
  bool output_signed() const;

  bool is_target_component(ComponentKind kind) const { return target_kind() == kind; }
  ComponentKind target_kind() const;
  // Each NP's input channels equal its filters (depthwise convolutions).
  bool is_depthwise() const;
  bool activation_enabled() const;
  bool activation_is(ActivationType type) const;
  uint32_t activation_type() const;
  bool pooling_is(PoolType type) const;
  // Whether the layer's output goes through an activation (ReLU or look-up table); false for
  // types that have none.
  bool has_activation() const;
  // Input-sign code: 0 the default (inputs above 7 bits are signed), 1 the layer reads unsigned
  // inputs whatever their width (the input convolutions on the HRC, an InputData layer with
  // "input_signed" 0), 2 signed inputs (an InputData layer with "input_signed" 1). A layer fed
  // by an InputData takes that layer's code: it reads the model's inputs as they are given.
  int32_t input_sign_code() const;
  // Whether the mapping may cut the layer across several NPs (convolutions on CNPs and fully
  // connected layers).
  bool splittable() const;
  // Whether the layer may start a model (it knows its input shape from its own parameters).
  bool is_input_layer() const;
  // Multiply-accumulate operations of one sample; 0 before the layer is built. Saturates at
  // UINT64_MAX for a layer whose count does not fit 64 bits (never wraps).
  uint64_t macs() const;

  LayerParams& params() { return *params_; }
  const LayerParams& params() const { return *params_; }
  std::shared_ptr<LayerParams> params_ptr() const { return params_; }
  LayerType type() const { return params_->layer_type(); }

  // Learning parameters, null until the layer is compiled for learning.
  std::shared_ptr<LearningParams> learning() const { return learning_; }
  void set_learning(std::shared_ptr<LearningParams> learning) { learning_ = std::move(learning); }
  bool can_learn() const;

  Variables& variables() { return variables_; }
  const Variables& variables() const { return variables_; }

  std::vector<std::shared_ptr<Layer>> inbound_layers() const { return inbound_; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const;

  std::shared_ptr<Mapping> mapping() const { return mapping_; }
  void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }

  // Computed parameters of convolution-like layers; runtime_error
  // "The layer <name> is not built." before the layer has its input dimensions.
  const ConvCalculatedParams& conv_calculated_params() const;
  const PoolingCalculatedParams& pool_calculated_params() const;

  // Sets the input shapes (one per inbound layer), then computes the output shape, the
  // computed parameters and creates the variables (zero-filled, docs/layers.md) that are not
  // already declared with the right type and shape. Throws invalid_argument, the layer
  // unchanged, when the inputs do not suit the layer, sizes (variables, element counts) that
  // do not fit 64 bits included.
  void build(const std::vector<Shape>& inputs);
  // Whether the layer knows its shapes (it belongs to a model).
  bool is_built() const { return built_; }

  // No limit on the bytes a build may allocate for new variables (the default).
  static constexpr uint64_t kUnlimitedVariableBytes = UINT64_MAX;
  // Caps the bytes of the variables that later builds may create; variables already declared
  // with the right type and shape cost nothing. A build that would need more throws
  // invalid_argument "Layer <name>: its variables would take <n> bytes, more than the <limit>
  // allowed." before allocating. Readers of untrusted bytes set it, so that a few bytes of
  // parameters cannot demand gigabytes of zero-filled variables.
  void limit_new_variable_bytes(uint64_t bytes) { new_variable_limit_ = bytes; }
  // The bytes of all the layer's variables.
  uint64_t variable_bytes() const;

  // Named tensors, in no particular order.
  using NamedTensors = std::vector<std::pair<std::string, std::shared_ptr<Dense>>>;
  // Tensors for the next build to take as the new variables of the same name, type and shape
  // (whose values lie in the type's range), instead of creating them zero-filled: a reader
  // offers the stored ones, which saves filling megabytes only to replace them. A taken tensor
  // counts against the limit on new variable bytes as a created one would, and is held as it is
  // (not copied). The next build, successful or not, drops the ones it does not take.
  void offer_variables(NamedTensors tensors) { offered_ = std::move(tensors); }

  // Graph wiring, used by Model.
  void connect_inbound(const std::vector<std::shared_ptr<Layer>>& inbound);
  void disconnect();

  Layer(std::shared_ptr<LayerParams> params, std::string name);

 private:
  std::string name_;
  std::shared_ptr<LayerParams> params_;
  std::shared_ptr<LearningParams> learning_;
  Variables variables_;
  std::vector<Shape> input_dims_;
  Shape output_dims_;
  std::optional<ConvCalculatedParams> conv_params_;
  std::optional<PoolingCalculatedParams> pool_params_;
  std::vector<std::shared_ptr<Layer>> inbound_;
  std::vector<std::weak_ptr<Layer>> outbound_;
  std::shared_ptr<Mapping> mapping_;
  bool built_ = false;
  uint64_t new_variable_limit_ = kUnlimitedVariableBytes;
  NamedTensors offered_;

  void declare_variables();
  // The offered tensor that can be the new variable `name` of this type and shape, else a
  // zero-filled one.
  std::shared_ptr<Dense> new_variable(const std::string& name, TensorType type,
                                      const Shape& shape);
  // The body of build, which restores the layer when this throws.
  void build_from(const std::vector<Shape>& inputs);

  friend struct LayerBuilder;
};

}  // namespace qalto
