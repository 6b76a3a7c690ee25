#pragma once
// The mivo input stage, EPG register values and the program's I/O type codes.
//
// The Mivo input stage needs no program, Mivo has no EPG and no I/O type codes.

#include "mapping/empty_io_recorder.hpp"

namespace qalto::mivo {

class IoRecorderImpl final : public EmptyIoRecorder {
 public:
  using EmptyIoRecorder::EmptyIoRecorder;
};

}  // namespace qalto::mivo
