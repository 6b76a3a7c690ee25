#pragma once
// The v2 input stage, EPG register values and the program's I/O type codes.
//
// The v2 input-stage (dma::Target 8) and EPG register layouts are not described: the
// recorder answers with an empty input-stage record, no EPG register and the type code 0,
// rather than inventing registers.

#include "mapping/empty_io_recorder.hpp"

namespace qalto::v2 {

class IoRecorderImpl final : public EmptyIoRecorder {
 public:
  using EmptyIoRecorder::EmptyIoRecorder;
};

}  // namespace qalto::v2
