// ProgramMemoryRequired and get_program_memory_infos: the device memory a serialised program
// needs, as the engine's program reader works it out.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "python/registry.hpp"
#include "qalto/program_info.hpp"

namespace qalto::python {

namespace {

// Byte counts, in the order Python lists them.
struct ProgramMemoryRequired {
  uint64_t input_memory = 0;
  uint64_t input_descriptor_memory = 0;
  uint64_t output_memory = 0;
  uint64_t program_memory = 0;
  uint64_t extra_program_memory = 0;
  uint64_t program_descriptors_memory = 0;
};

std::string repr(const ProgramMemoryRequired& r) {
  return "<qalto.ProgramMemoryRequired(input_memory=" + std::to_string(r.input_memory) +
         "B, input_descriptor_memory=" + std::to_string(r.input_descriptor_memory) +
         "B, output_memory=" + std::to_string(r.output_memory) +
         "B, program_memory=" + std::to_string(r.program_memory) +
         "B, extra_program_memory=" + std::to_string(r.extra_program_memory) +
         "B, program_descriptors_memory=" + std::to_string(r.program_descriptors_memory) +
         "B)>";
}

// Holds a read view of a bytes object for as long as the program reader looks at it.
class BufferView {
 public:
  explicit BufferView(const py::bytes& bytes) {
    if (PyObject_GetBuffer(bytes.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

std::unique_ptr<ProgramMemoryRequired> program_memory_infos(const py::bytes& program) {
  const BufferView view(program);
  const ProgramInfo info(view.data(), view.size());
  auto result = std::make_unique<ProgramMemoryRequired>();
  result->input_memory = input_memory_required(info);
  result->input_descriptor_memory = input_descriptor_memory_required(info);
  result->output_memory = output_memory_required(info);
  result->program_memory = program_data_memory_required(info);
  result->extra_program_memory = extra_program_memory_required(info);
  result->program_descriptors_memory = program_descriptors_memory_required(info);
  return result;
}

}  // namespace

void register_program_memory(py::module_& m) {
  py::class_<ProgramMemoryRequired> cls(m, "ProgramMemoryRequired");
  cls.def_readonly("input_memory", &ProgramMemoryRequired::input_memory,
                   "memory required (in bytes) for one input")
      .def_readonly("input_descriptor_memory", &ProgramMemoryRequired::input_descriptor_memory,
                    "memory required (in bytes) for one input descriptor")
      .def_readonly("output_memory", &ProgramMemoryRequired::output_memory,
                    "memory required (in bytes) for one output")
      .def_readonly("program_memory", &ProgramMemoryRequired::program_memory,
                    "memory required (in bytes) for program")
      .def_readonly("extra_program_memory", &ProgramMemoryRequired::extra_program_memory)
      .def_readonly("program_descriptors_memory",
                    &ProgramMemoryRequired::program_descriptors_memory,
                    "memory required (in bytes) for program descriptors")
      .def("__repr__", &repr);
  // pybind11 gives an undocumented property an empty docstring; this one has none at all.
  cls.attr("extra_program_memory").attr("__doc__") = py::none();

  m.def("get_program_memory_infos", &program_memory_infos,
        "Get the memory requirements for the given program");
}

}  // namespace qalto::python
