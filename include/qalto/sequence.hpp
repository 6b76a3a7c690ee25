#pragma once
// Back ends and sequences: what a mapping produces and the engine runs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
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

  // Splits size-prefixed program bytes into their parts: the information part is the
  // little-endian 32-bit length N at the start plus the N bytes after it, the data part all the
  // rest. A null program gives two null views. Throws runtime_error
  // "Program is shorter than its size prefix." when the bytes hold fewer than 4 + N, so that no
  // view ever reaches past the program.
  static ProgramParts split_program(ByteView program) {
    if (program.data == nullptr) return {};
    constexpr size_t prefix_bytes = 4;
    uint64_t info_size = prefix_bytes;
    if (program.size >= prefix_bytes) {
      for (size_t i = 0; i < prefix_bytes; ++i) info_size += uint64_t{program.data[i]} << (8 * i);
    }
    if (program.size < info_size) {
      throw std::runtime_error("Program is shorter than its size prefix.");
    }
    const auto info = static_cast<size_t>(info_size);
    return {{program.data, info}, {program.data + info, program.size - info}};
  }
};

class ForwardableSequence : public Sequence {
 public:
  using Tensors = std::vector<std::shared_ptr<const Dense>>;
  // Runs the inputs (one tensor per sample) on the sequence's device and returns one output
  // per sample. Labels (null for none; an empty list still means learning) switch learning on.
  virtual std::vector<std::shared_ptr<Dense>> forward_samples(
      const Tensors& inputs, const std::vector<int32_t>* labels) = 0;
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
