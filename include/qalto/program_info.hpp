#pragma once
// The engine's reader of a serialised program (program/program.fbs): a size-prefixed
// ProgramInfo buffer followed by a size-prefixed ProgramData buffer, and the memory the
// program needs on the device side.
//
// The reader never trusts the bytes: both buffers go through flatbuffers::Verifier, then the
// fields the figures depend on are checked (present where the writer always stores them, one
// span list per pass, every span inside the data part). Every figure is worked out in 64 bits
// when the reader is built, so the six functions below cannot fail.
//
// The figures, in bytes (DMA moves whole 32-bit words, so maps are rounded up to words):
//   input:              ceil(product(input_dims) * input_bits / 32) * 4, input_bits 0 read as 8
//                       (one byte per value, what the input stage reads by default);
//   input descriptor:   one DMA descriptor (`dma_descriptor_bytes`) per input;
//   output:             ceil(product(output_dims) * output_bits / 32) * 4, output_bits 0 read as
//                       32 (raw potentials);
//   program data:       the whole data part, its size prefix included (the spans of the
//                       information part count from its first byte);
//   extra program:      the device buffers the program uses beside its own words: 4 bytes per
//                       word of every skip-DMA store span (feature maps parked between layers),
//                       plus, when a layer learns, 4 bytes per word of its weights span (the
//                       learned weights read back);
//   program descriptors: max_descriptors * number of passes * `dma_descriptor_bytes` (each
//                       pass is given the largest descriptor count of any pass).

#include <cstddef>
#include <cstdint>

namespace qalto {

namespace fb {
struct ProgramInfo;
struct ProgramData;
}  // namespace fb

class ProgramInfo {
 public:
  // One DMA descriptor: source address, destination address, length and control word.
  static constexpr uint64_t dma_descriptor_bytes = 16;

  // Reads the program at `data` (`size` bytes) without copying it: the bytes must stay valid
  // and unchanged while the reader is used. Throws invalid_argument "Invalid program: <reason>."
  // when the bytes are not one complete program (too short, a size prefix that runs past the
  // end or leaves bytes over, a buffer that fails verification, a missing field, spans that
  // disagree with the data part, a dimension product beyond 64 bits).
  ProgramInfo(const uint8_t* data, size_t size);

  // The verified tables.
  const fb::ProgramInfo& info() const { return *info_; }
  const fb::ProgramData& program_data() const { return *data_; }
  // Byte counts of the information part and the data part, size prefixes included.
  size_t info_part_size() const { return info_size_; }
  size_t data_part_size() const { return data_size_; }

 private:
  friend uint64_t input_memory_required(const ProgramInfo&);
  friend uint64_t input_descriptor_memory_required(const ProgramInfo&);
  friend uint64_t output_memory_required(const ProgramInfo&);
  friend uint64_t program_data_memory_required(const ProgramInfo&);
  friend uint64_t extra_program_memory_required(const ProgramInfo&);
  friend uint64_t program_descriptors_memory_required(const ProgramInfo&);

  void check_fields() const;
  void compute_figures();

  const fb::ProgramInfo* info_ = nullptr;
  const fb::ProgramData* data_ = nullptr;
  const uint8_t* data_part_ = nullptr;
  size_t info_size_ = 0;
  size_t data_size_ = 0;
  uint64_t input_ = 0;
  uint64_t output_ = 0;
  uint64_t extra_ = 0;
  uint64_t descriptors_ = 0;
};

// The six figures of the header comment, in bytes. None of them throws.
uint64_t input_memory_required(const ProgramInfo& program);
uint64_t input_descriptor_memory_required(const ProgramInfo& program);
uint64_t output_memory_required(const ProgramInfo& program);
uint64_t program_data_memory_required(const ProgramInfo& program);
uint64_t extra_program_memory_required(const ProgramInfo& program);
uint64_t program_descriptors_memory_required(const ProgramInfo& program);

}  // namespace qalto
