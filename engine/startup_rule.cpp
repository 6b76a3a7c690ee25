// Kept in the engine library so that C++ tests can reach it without the Python module.
#include "python/startup.hpp"

#include <cctype>

namespace qalto::python {

bool interpreter_version_matches(const std::string& compiled, const std::string& interpreter) {
  if (interpreter.compare(0, compiled.size(), compiled) != 0) return false;
  if (interpreter.size() == compiled.size()) return true;
  return !std::isdigit(static_cast<unsigned char>(interpreter[compiled.size()]));
}

std::string version_mismatch_message(const std::string& compiled,
                                     const std::string& interpreter) {
  return "Python version mismatch: module was compiled for Python " + compiled +
         ", but the interpreter version is incompatible: " + interpreter + ".";
}

}  // namespace qalto::python
