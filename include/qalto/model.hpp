#pragma once
// The engine model: an ordered list of layers wired into a graph, its learning set-up, its
// serialised form, its software execution and its mapping on a device.
//
// Serialised form: a flatbuffers buffer of engine/model.fbs (root ModelDef, file identifier
// "QMDL"). Layers are stored in model order with their parameters, learning parameters,
// variables and inbound layers given by index (always earlier layers). Mappings and sequences
// are not stored: a reloaded model is unmapped.
//
// Running: inputs are (n, x, y, c) tensors. Without sequences the whole model runs on the
// reference operations (engine/software.cpp); after `map`, every sequence runs in turn, hardware
// sequences on their device and software sequences (layers the back end left) on the reference
// operations. Every layer reads its real inbound layers: an InputData gives the model's input,
// the last layer of a sequence what that sequence returned. A hardware sequence takes one
// tensor (the one output its layers read from outside it; the previous sequence's output when
// it lists no layers), and returns the output of its last layer only: a layer that needs the
// output of another layer of a hardware sequence, or a hardware sequence that needs two
// tensors, makes the run throw runtime_error naming them before any sequence runs.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/layer.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

class MapConstraints;

// The largest "num_weights" of a learning set: a connection count of 32 bits.
constexpr double kMaxLearningWeights = 4294967295.0;

// Checks a learning set for `layer` (which must have "units"): every key UTF-8, "num_classes"
// (when present) a whole number from 1 to the units that divides them, "num_weights" (when
// present) a whole number from 0 to kMaxLearningWeights. invalid_argument otherwise. compile,
// fit and the model reader apply it.
void check_learning(const Layer& layer, const LearningParams& learning);

class Model {
 public:
  static std::unique_ptr<Model> create() { return std::make_unique<Model>(); }
  // A model rebuilt from `serialize` bytes. The buffer is verified before use; bytes that are
  // not a model, or that describe an invalid one, throw invalid_argument
  // "Invalid model buffer: <reason>".
  static std::unique_ptr<Model> from_buffer(const uint8_t* data, size_t size);
  // As from_buffer, for a buffer the model may keep: variables take their bytes where they lie
  // in it rather than copies (`owner` keeps it alive), so nothing else may use it afterwards.
  static std::unique_ptr<Model> from_owned_buffer(std::shared_ptr<void> owner, uint8_t* data,
                                                  size_t size);
  // The model of the model file at `path`: model_file::read, then from_owned_buffer. Throws as
  // those do.
  static std::unique_ptr<Model> load(const std::string& path);

  // An independent copy: new layers with copies of the parameters, variables and learning
  // parameters, wired the same way. The copy is unmapped.
  std::unique_ptr<Model> copy() const;

  // Appends a layer fed by `inbound` (an empty list feeds it from the last layer, none for the
  // first layer or an InputData) and builds its shapes and variables. Throws invalid_argument,
  // leaving the model unchanged, when the layer is already in the model, its name is taken, an
  // inbound layer is not in the model, or the inputs do not suit it: a count of inbound layers
  // other than its type reads (none for an InputData, two for an Add, one or more for a
  // Concatenate, one for any other type), shapes it cannot read or sizes past 64 bits. The
  // model has one input: an InputData after the first layer must repeat the first layer, an
  // InputData of the same shape, "input_bits" and "input_signed", and reads the same input.
  // A mapped model loses its mapping.
  void add(const std::shared_ptr<Layer>& layer,
           const std::vector<std::shared_ptr<Layer>>& inbound = {});
  // Removes the last layer (nothing when empty). A mapped model loses its mapping.
  void pop_layer();

  // Readies the last layer for learning with `learning`. runtime_error "The model has no
  // layers." / "The last layer cannot learn."; invalid_argument for a null set or one that
  // check_learning refuses. Unchanged on error.
  void compile(const std::shared_ptr<LearningParams>& learning);
  // The last layer's learning parameters, null when it has none.
  std::shared_ptr<LearningParams> learning() const;

  // The model as bytes (see above).
  std::vector<uint8_t> serialize() const;

  // Runs (n, x, y, c) inputs through the model and returns the last layer's (n, x, y, c)
  // outputs. `batch_size` bounds the samples given to a hardware sequence at once (0: all).
  // invalid_argument for a model without layers or inputs of the wrong shape or type;
  // runtime_error naming the layer type for a layer without a reference operation, and
  // naming the layers for an output a mapped run cannot get (see above).
  std::shared_ptr<Tensor> forward(const std::shared_ptr<const Dense>& inputs,
                                  uint32_t batch_size = 0);
  // Float outputs of a last layer without activation: a Dequantizer's own output, otherwise
  // (potential - "threshold") / "act_step" per channel when the layer has those variables (an
  // "act_step" of 0 counts as 1), else the potentials as floats. runtime_error
  // "predict applies only to models without an activation on the last layer." otherwise.
  std::shared_ptr<Tensor> predict(const std::shared_ptr<const Dense>& inputs,
                                  uint32_t batch_size = 0);
  // Trains the compiled last layer, then returns the outputs of the samples. `labels` is empty
  // (unsupervised), one label for all inputs, or one per input (invalid_argument otherwise);
  // an input whose label is negative or not below "num_classes" is not learned. The learning
  // set is checked again first (check_learning: invalid_argument), so a set changed since
  // compile never indexes past the weights.
  std::shared_ptr<Tensor> fit(const std::shared_ptr<const Dense>& inputs,
                              const std::vector<int32_t>& labels, uint32_t batch_size = 0);

  // Maps the model on `device` through the registered hardware back end (see
  // backend_registry.hpp); null `constraints` means default constraints for the device. Layers
  // the back end leaves become a software sequence, unless `hw_only`, which makes them a
  // runtime_error with the mapping status text, or, when no check failed, "Cannot map layer
  // '<first layer left>'. <why it stays in software>"; a wiring failure the back end throws
  // (MappingError) is raised as it is with `hw_only`. Without it the mapping always runs and
  // keeps on the device what builds: when the software layers would need an output that stays
  // on the device, the back end threw a MappingError, or it failed to build the sequence (too
  // many descriptors, say: its status names a layer, yet it kept none of the layers before it),
  // the hardware part is cut back to the latest layer before the trouble whose output is all
  // the later layers need of it and mapped again, until an attempt can be kept; when no such
  // layer is left, the whole model runs in software.
  // invalid_argument for a null device;
  // runtime_error "No hardware back end is available." when none is registered. On error the
  // previous mapping stays as it was.
  void map(const std::shared_ptr<Device>& device, bool hw_only = false,
           const std::shared_ptr<MapConstraints>& constraints = nullptr);
  const Sequences& sequences() const { return sequences_; }
  // The device of the last successful mapping, null when unmapped.
  std::shared_ptr<Device> device() const { return device_; }

  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }
  std::shared_ptr<Layer> get_layer(size_t index) const;
  std::shared_ptr<Layer> get_layer(const std::string& name) const;
  size_t layer_count() const { return layers_.size(); }
  // Input shape of the first layer and output shape of the last; empty when no layer.
  std::vector<uint32_t> input_shape() const;
  std::vector<uint32_t> output_shape() const;
  // Sum of the layers' multiply-accumulate counts, saturating at UINT64_MAX (a count past 64
  // bits is reported as that, never wrapped to a small number).
  uint64_t macs() const;
  // The mapped device's IP version; unmapped, the generation the layer types belong to
  // (none when no layer tells).
  IpVersion ip_version() const;

 private:
  // from_buffer, adopting the variables' bytes when `owner` is given.
  static std::unique_ptr<Model> read_buffer(const uint8_t* data, size_t size,
                                            std::shared_ptr<void> owner);
  bool contains(const Layer* layer) const;
  // `add` without dropping the mapping: for the reader, whose new model has none.
  void append(const std::shared_ptr<Layer>& layer,
              const std::vector<std::shared_ptr<Layer>>& inbound);
  void unmap();
  // The sequences of a mapping that can run (see map); throws what map throws.
  Sequences map_runnable(Backend& backend, bool hw_only,
                         const std::shared_ptr<MapConstraints>& constraints);
  // The run shared by forward, predict and fit; `labels` null for inference.
  std::shared_ptr<Tensor> run(const std::shared_ptr<const Dense>& inputs, uint32_t batch_size,
                              const std::vector<int32_t>* labels);

  std::vector<std::shared_ptr<Layer>> layers_;
  // The position of each layer in layers_ by its name (which never changes, and which the layer
  // itself holds): add checks names and membership without scanning the earlier layers.
  std::unordered_map<std::string_view, size_t> positions_;
  Sequences sequences_;
  std::shared_ptr<Device> device_;
};

}  // namespace qalto
