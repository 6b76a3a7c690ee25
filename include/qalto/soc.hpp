#pragma once
// SoC clock modes: the values are clock frequencies in hertz.

#include <cstdint>

namespace qalto::soc {

enum class ClockMode : uint32_t {
  Performance = 300000000,
  Economy = 100000000,
  LowPower = 5000000,
};

}  // namespace qalto::soc
