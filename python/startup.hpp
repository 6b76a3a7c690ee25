#pragma once
// The interpreter-version rule of module start-up, kept pure so that it can be tested alone.

#include <string>

namespace qalto::python {

// Whether `interpreter` (a Py_GetVersion() string) suits a module compiled for `compiled`
// ("3.11"): the string must begin with `compiled` followed by anything but a decimal digit.
bool interpreter_version_matches(const std::string& compiled, const std::string& interpreter);

// "Python version mismatch: module was compiled for Python <compiled>, but the interpreter
// version is incompatible: <interpreter>."
std::string version_mismatch_message(const std::string& compiled, const std::string& interpreter);

}  // namespace qalto::python
