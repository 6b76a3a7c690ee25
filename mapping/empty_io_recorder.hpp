#pragma once
// The input/output recorder of a generation that needs no input-stage program, no EPG
// register and no I/O type codes: an empty input-stage record for the device's version, no
// EPG register, and the type code 0 for every layer, so that its programs stay well formed.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto {

class EmptyIoRecorder : public IoRecorder {
 public:
  // Keeps a reference to the device; it must outlive the recorder.
  explicit EmptyIoRecorder(const Device& device) : device_(device) {}

  program::RecordPtr record_scc(bool, bool, bool, bool, bool, const Shape&,
                                const Shape&) const override {
    return program::new_record(device_.version());
  }
  std::vector<EpgRegister> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                      bool) const override {
    return {};
  }
  int8_t get_input_type(const Layer&) const override { return 0; }
  int8_t get_output_type(const Layer&, int8_t) const override { return 0; }

 private:
  const Device& device_;
};

}  // namespace qalto
