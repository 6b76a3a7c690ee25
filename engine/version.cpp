#include "qalto/version.hpp"

namespace qalto {

const char* version() { return "2.0.0"; }

}  // namespace qalto
