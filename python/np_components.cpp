// Second registration step of the submodule NP: the classes that name and describe single
// hardware components (Ident, Type, Info, NpSpace, MemoryInfo, Component).

#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <set>
#include <string>

#include "python/registry.hpp"
#include "qalto/hw.hpp"

namespace qalto::python {

namespace {

// Gathers the types of any Python iterable (a list, tuple, set, generator...), which the
// binding's own set conversion would refuse unless it is a set. A non-iterable raises
// TypeError; an element that is not an NP.Type raises the binding's cast error. The caller
// assigns the result only once it is complete, so a failure leaves the old types.
std::set<hw::Type> types_from_iterable(const py::handle& iterable) {
  std::set<hw::Type> types;
  for (py::handle item : py::iter(iterable)) {
    // The binding would take None for a null enum and then fail as if the call's own
    // arguments were wrong; refuse every non-Type element the same way instead.
    if (!py::isinstance<hw::Type>(item)) {
      throw py::cast_error("Unable to cast Python instance of type " +
                           py::str(py::type::of(item)).cast<std::string>() +
                           " to C++ type 'qalto::hw::Type'");
    }
    types.insert(item.cast<hw::Type>());
  }
  return types;
}

py::list types_to_list(const std::set<hw::Type>& types) {
  py::list list;
  for (hw::Type type : types) list.append(py::cast(type));
  return list;
}

void register_ident(py::module_& np) {
  py::class_<hw::Ident>(np, "Ident",
                        "\n    Represents the unique identifier for a Hardware Component.\n\n"
                        "    This includes the component position on the mesh (row, column, id) "
                        "and\n    the channel index for skip DMAs.")
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id) {
        return hw::Ident{col, row, id, 0};
      }))
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
        return hw::Ident{col, row, id, channel};
      }))
      .def_readwrite("col", &hw::Ident::col, "Hardware Component column number")
      .def_readwrite("row", &hw::Ident::row, "Hardware Component row number")
      .def_readwrite("id", &hw::Ident::id, "Hardware Component id")
      .def_readwrite("channel", &hw::Ident::channel, "Component channel")
      .def("__str__", [](const hw::Ident& ident) { return hw::to_string(ident); })
      .def("__repr__", [](const hw::Ident& ident) { return hw::to_string(ident); })
      .def(py::self == py::self);
}

void register_type(py::module_& np) {
  py::enum_<hw::Type>(np, "Type", "Harwdare Component type")
      .value("HRC", hw::Type::HRC, "High Resolution Convolution")
      .value("CNP1", hw::Type::CNP1, "Convolutional Neural Processor Type 1")
      .value("CNP2", hw::Type::CNP2, "Convolutional Neural Processor Type 2")
      .value("FNP2", hw::Type::FNP2, "FullyConnected Neural Processor (external memory)")
      .value("FNP3", hw::Type::FNP3, "FullyConnected Neural Processor (internal memory)")
      .value("TNP_B", hw::Type::TNP_B, "Temporal Neural Processor Buffered")
      .value("TNP_R", hw::Type::TNP_R, "Temporal Neural Processor Recurrent")
      .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, "Skip DMA store engine")
      .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, "Skip DMA load engine")
      .export_values();
}

void register_info(py::module_& np) {
  py::class_<np::Info>(np, "Info",
                       "\n        Describes a hardware component.\n\n        Includes its unique "
                       "identifier and the set of hardware types it supports.\n        ")
      .def(py::init([](const hw::Ident& ident, const py::object& types, bool has_lut) {
             return np::Info{ident, types_from_iterable(types), has_lut};
           }),
           py::arg("ident"), py::arg("types"), py::arg("has_lut") = false)
      .def_readwrite("ident", &np::Info::ident, "Hardware Component identifier")
      .def_property(
          "types", [](const np::Info& info) { return types_to_list(info.types); },
          [](np::Info& info, const py::object& types) {
            info.types = types_from_iterable(types);
          },
          "Hardware Component supported types")
      .def_readwrite("has_lut", &np::Info::has_lut, "Indicate whether the NP has a lookup table.")
      .def_static(
          "hrc",
          [](bool has_lut) { return np::Info{hw::Ident{0, 0, 0, 0}, {hw::Type::HRC}, has_lut}; },
          py::arg("has_lut"), "Construct an qalto.NP.Info for HRC with optional LUT.")
      .def(py::self == py::self);
}

void register_np_space(py::module_& np) {
  py::class_<NpSpace>(np, "NpSpace",
                      "\n      Represents the part of the input used by this Neural Processor if "
                      "a layer is split over several NPs.")
      .def(py::init<>())
      .def_property_readonly(
          "x", [](const NpSpace& space) { return space.x; }, "X index")
      .def_property_readonly(
          "y", [](const NpSpace& space) { return space.y; }, "Y index")
      .def_property_readonly(
          "shape", [](const NpSpace& space) { return space.shape.to_vector(); },
          "Shape of the space");
}

void register_memory_info(py::module_& np) {
  py::class_<MemoryInfo>(np, "MemoryInfo",
                         "Represents memory usage information for a Hardware Component.\n\n"
                         "      This includes memory used by inputs, weights, and any external "
                         "buffers.\n      All sizes are in bytes.\n      ")
      .def(py::init<>())
      .def_readonly("input_size", &MemoryInfo::input_size, "Input memory size. (Bytes)")
      .def_readonly("weight_size", &MemoryInfo::weight_size, "Weight memory size. (Bytes)")
      .def_readonly("external_size", &MemoryInfo::external_size, "External memory size. (Bytes)")
      .def_readonly("stsram_32b_size", &MemoryInfo::stsram_32b_size,
                    "Stsram size for Mivo. (Number of 32-bits words)")
      .def_readonly("fsram_64b_size", &MemoryInfo::fsram_64b_size,
                    "Fsram Mivo memory size. (Number of 64-bits words)")
      .def_readonly("tsram_51b_size", &MemoryInfo::tsram_51b_size,
                    "Tsram Mivo memory size. (Number of 51-bits words)")
      .def_readonly("evsram_32b_size", &MemoryInfo::evsram_32b_size,
                    "Evsram Mivo memory size. (Number of 32-bits words)")
      .def(py::self == py::self);
}

void register_component(py::module_& np) {
  // No constructor: Python receives components from a layer's mapping only.
  py::class_<hw::Component>(np, "Component", "\n      An Qalto component")
      .def_readonly("ident", &hw::Component::ident, "Hardware Component identifier")
      .def_readonly("type", &hw::Component::type, "Hardware Component type")
      .def_readonly("mem_info", &hw::Component::mem_info,
                    "Hardware Component memory information")
      .def_property_readonly(
          "filters",
          [](const hw::Component& c) { return c.np_part ? c.np_part->filters : 0u; },
          "Number of filters processed by the Neural Processor")
      .def_property_readonly(
          "start_neuron",
          [](const hw::Component& c) { return c.np_part ? c.np_part->start_neuron : 0u; },
          "Index of the first filter processed by the Neural Processor")
      .def_property_readonly(
          "spatial_partition",
          [](const hw::Component& c) {
            return c.np_part ? c.np_part->spatial_partition : NpSpace{};
          },
          py::return_value_policy::move, "Spatial partition processed by the Neural Processor")
      .def_property_readonly(
          "single_buffer",
          [](const hw::Component& c) { return c.np_part ? c.np_part->single_buffer : true; },
          "Neural Processor uses a single or dual input buffer")
      .def(py::self == py::self);
}

}  // namespace

void register_np_components(py::module_& np) {
  register_ident(np);
  register_type(np);
  register_info(np);
  register_np_space(np);
  register_memory_info(np);
  register_component(np);
}

}  // namespace qalto::python
