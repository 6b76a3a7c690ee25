#include "qalto/panic.hpp"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace qalto {

extern "C" void panic(const char* format, ...) {
  char text[257];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written <= 0) {
    // Every format of this system is a non-empty constant; keep the failure visible anyway.
    throw std::runtime_error("Internal error: empty panic message.");
  }
  throw std::runtime_error(text);
}

}  // namespace qalto
