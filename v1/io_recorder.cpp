#include "v1/io_recorder.hpp"

namespace qalto::v1 {

IoRecorderImpl::IoRecorderImpl(const Device& device) : device_(device) {}

program::RecordPtr IoRecorderImpl::record_scc(bool, bool, bool, bool, bool, const Shape&,
                                              const Shape&) const {
  return program::new_record(device_.version());
}

std::vector<EpgRegister> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                    bool, bool) const {
  return {};
}

int8_t IoRecorderImpl::get_input_type(const Layer&) const { return 0; }

int8_t IoRecorderImpl::get_output_type(const Layer&, int8_t) const { return 0; }

}  // namespace qalto::v1
