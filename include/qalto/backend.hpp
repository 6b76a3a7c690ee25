#pragma once
// How a sequence of a model is executed.

#include <cstdint>

namespace qalto {

enum class BackendType : uint8_t { Software = 0, Hardware = 1, Hybrid = 2 };

}  // namespace qalto
