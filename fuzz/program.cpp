// Harness: program bytes -> the split into parts, the program information reader and the six
// memory figures. split_program documents runtime_error, the reader invalid_argument.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz/support.hpp"
#include "qalto/program_info.hpp"
#include "qalto/sequence.hpp"

namespace {

using namespace qalto;

void check_parts(const uint8_t* data, size_t size) {
  Sequence::ProgramParts parts;
  if (!fuzz::documented("split_program", fuzz::Allowed::invalid_argument_or_runtime,
                        [&] { parts = Sequence::split_program({data, size}); })) {
    return;
  }
  fuzz::check(parts.program_info.data == data && parts.program_info.size >= 4 &&
                  parts.program_info.size + parts.program_data.size == size &&
                  parts.program_data.data == data + parts.program_info.size,
              "the program parts do not tile the program");
}

void check_figures(const uint8_t* data, size_t size) {
  std::optional<ProgramInfo> program;
  if (!fuzz::documented("ProgramInfo", fuzz::Allowed::invalid_argument_only,
                        [&] { program.emplace(data, size); })) {
    return;
  }
  const auto parts = Sequence::split_program({data, size});
  fuzz::check(program->info_part_size() == parts.program_info.size &&
                  program->data_part_size() == parts.program_data.size,
              "the reader and the split disagree on the parts");
  fuzz::check(program_data_memory_required(*program) == program->data_part_size(),
              "program data memory differs from the data part");
  fuzz::check(input_descriptor_memory_required(*program) == ProgramInfo::dma_descriptor_bytes,
              "one input descriptor expected");
  fuzz::check(input_memory_required(*program) % 4 == 0 &&
                  output_memory_required(*program) % 4 == 0 &&
                  extra_program_memory_required(*program) % 4 == 0,
              "memory figures must be whole words");
  fuzz::check(program_descriptors_memory_required(*program) % ProgramInfo::dma_descriptor_bytes ==
                  0,
              "descriptor memory must be whole descriptors");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_parts(data, size);
  check_figures(data, size);
  return 0;
}
