// Python face of mapped sequences: ProgramParts, Sequence and Pass. Python only reads them; every
// byte that reaches Python is a copy.

#include <pybind11/stl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/registry.hpp"
#include "qalto/sequence.hpp"

namespace qalto::python {

namespace {

constexpr const char* program_parts_doc = R"(
      Represents a program split in different parts.

      program_info is the program part containing information on how to program the
      device.
      program_data is the program part containing the program data required by qalto
      to configure the IP.
)";

constexpr const char* sequence_doc = R"(
          Represents a sequence of layers.

          Sequences can be mapped in Software or on a Device.
          )";

constexpr const char* program_doc = R"(
             Get the hardware program for this sequence.

             Returns None if the Sequence is not compatible with the selected
             Device.

             :return: a bytes buffer or None
          )";

constexpr const char* pass_doc = R"(
      Represents a subset of the Sequence.

      Hardware Sequences can typically be split into multiple passes on devices
      that support hardware partial reconfiguration feature, reducing the
      intervention of the software during inference.
      )";

using Bytes = std::optional<std::string>;

// The two parts of a program, copied out of the sequence when the object is made: the object
// holds no reference to the sequence, so it must not point into the sequence's memory.
struct PyProgramParts {
  Bytes program_info;
  Bytes program_data;
};

Bytes copy_view(ByteView view) {
  if (view.data == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(view.data), view.size);
}

py::object to_python(const Bytes& bytes) {
  if (!bytes) return py::none();
  return py::bytes(*bytes);
}

// Whether `part` lies inside `whole` (a null part always does). Compared as addresses, so that
// views of unrelated memory are told apart without undefined pointer arithmetic.
bool lies_within(ByteView part, ByteView whole) {
  if (part.data == nullptr) return true;
  if (whole.data == nullptr) return false;
  const auto start = reinterpret_cast<uintptr_t>(whole.data);
  const auto first = reinterpret_cast<uintptr_t>(part.data);
  return first >= start && first - start <= whole.size && part.size <= whole.size - (first - start);
}

// A sequence's parts point into its program bytes; parts that would reach past them are
// refused instead of being read.
PyProgramParts copy_program_parts(const Sequence& sequence) {
  const Sequence::ProgramParts parts = sequence.program_parts();
  const ByteView program = sequence.program();
  if (!lies_within(parts.program_info, program) || !lies_within(parts.program_data, program)) {
    throw std::runtime_error("Program parts lie outside the program of the sequence.");
  }
  return {copy_view(parts.program_info), copy_view(parts.program_data)};
}

void register_program_parts(py::module_& m) {
  py::class_<PyProgramParts>(m, "ProgramParts", program_parts_doc)
      .def_property_readonly(
          "program_info", [](const PyProgramParts& self) { return to_python(self.program_info); })
      .def_property_readonly(
          "program_data", [](const PyProgramParts& self) { return to_python(self.program_data); });
}

void register_sequence(py::module_& m) {
  py::class_<Sequence, std::shared_ptr<Sequence>>(m, "Sequence", sequence_doc)
      .def_property_readonly("passes", &Sequence::passes,
                             "Get the list of passes in this sequence.")
      .def_property_readonly("backend", &Sequence::backend,
                             "The backend type for this Sequence.")
      .def_property_readonly(
          "program",
          [](const Sequence& self) { return to_python(copy_view(self.program())); }, program_doc)
      .def_property_readonly("program_parts", &copy_program_parts,
                             "Get the program, split in different parts")
      .def_property_readonly("name", &Sequence::name, "The name of the sequence");
}

void register_pass(py::module_& m) {
  py::class_<Sequence::Pass, std::shared_ptr<Sequence::Pass>>(m, "Pass", pass_doc)
      .def_property_readonly(
          "layers", [](const Sequence::Pass& self) { return self.layers; },
          "Get the list of layers in this pass.");
}

}  // namespace

void register_sequences(py::module_& m) {
  register_program_parts(m);
  register_sequence(m);
  register_pass(m);
}

}  // namespace qalto::python
