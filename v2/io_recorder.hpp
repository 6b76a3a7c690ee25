#pragma once
// Programs of the v2 input stage (SCC), EPG register values and the program's I/O type codes.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto::v2 {

class IoRecorderImpl final : public IoRecorder {
 public:
  // Keeps a reference to the device; it must outlive the recorder.
  explicit IoRecorderImpl(const Device& device);

  // The input-stage (SCC) program: a record for the device's version. The v2 input-stage
  // register layout (dma::Target 8 blocks) is not part of this generation's description yet,
  // so the record holds no track: a well-formed program without invented registers.
  program::RecordPtr record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& input,
                                const Shape& output) const override;
  // The EPG register values (byte offset, value). The v2 EPG register layout is not part of
  // this generation's description yet: an empty list.
  std::vector<EpgRegister> record_epg(const Layer& layer, uint8_t a, uint8_t b, uint8_t c, bool d,
                                      bool e, bool f) const override;
  // v2 programs carry no I/O type code: 0 for every layer.
  int8_t get_input_type(const Layer& layer) const override;
  int8_t get_output_type(const Layer& layer, int8_t input_type) const override;

 private:
  const Device& device_;
};

}  // namespace qalto::v2
