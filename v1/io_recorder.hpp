#pragma once
// The v1 input stage, EPG register values and the program's I/O type codes.
//
// No v1 input-stage registers, EPG registers or I/O type codes are defined in this engine:
// the recorder answers with an empty input-stage record, no EPG register and the type code 0
// (the code every v2 and Mivo program carries), so that a v1 program stays well formed.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto::v1 {

class IoRecorderImpl final : public IoRecorder {
 public:
  // Keeps a reference to the device; it must outlive the recorder.
  explicit IoRecorderImpl(const Device& device);

  // An empty record (no track) for the device's hardware version.
  program::RecordPtr record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& input,
                                const Shape& output) const override;
  // No register: an empty list.
  std::vector<EpgRegister> record_epg(const Layer& layer, uint8_t a, uint8_t b, uint8_t c, bool d,
                                      bool e, bool f) const override;
  // The input and output type codes: 0 for every layer.
  int8_t get_input_type(const Layer& layer) const override;
  int8_t get_output_type(const Layer& layer, int8_t input_type) const override;

 private:
  const Device& device_;
};

}  // namespace qalto::v1
