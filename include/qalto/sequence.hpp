#pragma once
// Back ends and sequences: what a mapping produces and the engine runs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qalto/backend.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

class MapConstraints;

struct ByteView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class Sequence {
 public:
  // One pass of a sequence: its layers in execution order.
  class Pass {
   public:
    virtual ~Pass() = default;
    std::vector<std::shared_ptr<Layer>> layers;
  };
  // Program information then program data; both point into the sequence's program bytes.
  struct ProgramParts {
    ByteView program_info;
    ByteView program_data;
  };

  virtual ~Sequence() = default;
  virtual const std::vector<std::shared_ptr<Pass>>& passes() const = 0;
  virtual BackendType backend() const = 0;
  virtual ByteView program() const = 0;
  virtual ProgramParts program_parts() const = 0;
  virtual std::string name() const = 0;
};

class ForwardableSequence : public Sequence {
 public:
  using Tensors = std::vector<std::shared_ptr<const Dense>>;
  // Runs the sequence on its device; labels (may be null) switch learning on.
  virtual std::vector<std::unique_ptr<Dense>> forward_samples(
      const Tensors& inputs, const std::shared_ptr<const Dense>& labels) = 0;
};

using Sequences = std::vector<std::shared_ptr<Sequence>>;

// Maps the layers still to map onto sequences. Implemented by the hardware back end.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                                 const std::shared_ptr<MapConstraints>& constraints) = 0;
  virtual BackendType type() const = 0;
};

}  // namespace qalto
