#pragma once
// The v1 input stage, EPG register values and the program's I/O type codes.
//
// No v1 input-stage registers, EPG registers or I/O type codes are defined: the recorder
// answers with an empty input-stage record, no EPG register and the type code 0.

#include "mapping/empty_io_recorder.hpp"

namespace qalto::v1 {

class IoRecorderImpl final : public EmptyIoRecorder {
 public:
  using EmptyIoRecorder::EmptyIoRecorder;
};

}  // namespace qalto::v1
