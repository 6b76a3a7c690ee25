#include "v1/io_recorder.hpp"

#include <stdexcept>
#include <string>

namespace qalto::v1 {

namespace {

[[noreturn]] void not_implemented(const char* operation) {
  throw std::runtime_error(std::string("v1::IoRecorderImpl::") + operation +
                           " is not implemented yet.");
}

}  // namespace

IoRecorderImpl::IoRecorderImpl(const Device& device) : device_(device) {}

program::RecordPtr IoRecorderImpl::record_scc(bool, bool, bool, bool, bool, const Shape&,
                                              const Shape&) const {
  not_implemented("record_scc");
}

std::vector<EpgRegister> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                    bool, bool) const {
  not_implemented("record_epg");
}

int8_t IoRecorderImpl::get_input_type(const Layer&) const { not_implemented("get_input_type"); }

int8_t IoRecorderImpl::get_output_type(const Layer&, int8_t) const {
  not_implemented("get_output_type");
}

}  // namespace qalto::v1
