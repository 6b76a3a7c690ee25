#pragma once

namespace qalto {

// The engine's version string, e.g. "2.0.0".
const char* version();

}  // namespace qalto
