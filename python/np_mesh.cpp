// First registration step of the submodule NP: SramSize, the per-generation SRAM constants and
// Mesh.

#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <vector>

#include "python/registry.hpp"
#include "qalto/hw.hpp"

namespace qalto::python {

namespace {

// Elements read from a mesh's `hrc`, `nps` and `skip_dmas` are Python objects that refer into
// the mesh's own storage, so that `mesh.nps[0].has_lut = True` changes the mesh. Replacing one
// of those properties releases that storage; before it does, every Python object still
// referring into it (an NP.Info element, or the NP.Ident read from its `ident`, which sits at
// the same address) is turned into the owner of a copy of what it showed. Such an object thus
// keeps its last value and never reads released memory.
template <typename T>
void detach_into_copy(py::detail::instance* inst, const py::detail::type_info* tinfo) {
  auto v_h = inst->get_value_and_holder(tinfo, /*throw_if_missing=*/false);
  if (!v_h || inst->owned || v_h.holder_constructed()) return;
  auto* referenced = v_h.template value_ptr<T>();
  auto copy = std::make_unique<T>(*referenced);
  py::detail::deregister_instance(inst, referenced, tinfo);
  v_h.value_ptr() = copy.get();
  // The default holder of these classes is a unique_ptr: build it in place so that the
  // object's deallocation destroys the copy like any owned value.
  new (std::addressof(v_h.template holder<std::unique_ptr<T>>()))
      std::unique_ptr<T>(std::move(copy));
  v_h.set_holder_constructed();
  inst->owned = true;
  py::detail::register_instance(inst, v_h.value_ptr(), tinfo);
}

void detach_views_of(const np::Info& info) {
  const auto* info_type = py::detail::get_type_info(typeid(np::Info));
  const auto* ident_type = py::detail::get_type_info(typeid(hw::Ident));
  const void* addresses[] = {&info, &info.ident};
  for (const void* address : addresses) {
    // Collect first: detaching re-registers instances and would invalidate the range.
    std::vector<py::detail::instance*> views;
    auto range = py::detail::get_internals().registered_instances.equal_range(address);
    for (auto it = range.first; it != range.second; ++it) views.push_back(it->second);
    for (auto* inst : views) {
      auto* type = Py_TYPE(reinterpret_cast<PyObject*>(inst));
      if (info_type && PyType_IsSubtype(type, info_type->type))
        detach_into_copy<np::Info>(inst, info_type);
      else if (ident_type && PyType_IsSubtype(type, ident_type->type))
        detach_into_copy<hw::Ident>(inst, ident_type);
    }
    if (static_cast<const void*>(&info.ident) == static_cast<const void*>(&info)) break;
  }
}

void detach_views_of(const std::vector<np::Info>& infos) {
  for (const auto& info : infos) detach_views_of(info);
}

// A new list whose elements refer into `infos`, each keeping `owner` (the mesh) alive.
py::list info_views(std::vector<np::Info>& infos, py::handle owner) {
  py::list list;
  for (auto& info : infos)
    list.append(py::cast(&info, py::return_value_policy::reference_internal, owner));
  return list;
}

void register_sram_size(py::module_& np) {
  py::class_<SramSize>(np, "SramSize", "Size of shared SRAM available inside the mesh.\n      ")
      .def(py::init<>())
      .def(py::init([](uint32_t input_bytes, uint32_t weight_bytes) {
             return SramSize{input_bytes, weight_bytes, 0, 0, 0, 0};
           }),
           py::arg("input_bytes"), py::arg("weight_bytes"))
      .def(py::init([](uint32_t stsram, uint32_t fsram, uint32_t tsram, uint32_t evsram) {
             return SramSize{0, 0, stsram, fsram, tsram, evsram};
           }),
           py::arg("stsram_32b_size"), py::arg("fsram_64b_size"), py::arg("tsram_51b_size"),
           py::arg("evsram_32b_size"))
      .def_readwrite("input_bytes", &SramSize::input_bytes,
                     "Size of shared input packet SRAM available inside the mesh for each two "
                     "NPs. (Bytes).")
      .def_readwrite("weight_bytes", &SramSize::weight_bytes,
                     "Size of shared filter SRAM available inside the mesh for each two NPs. "
                     "(Bytes).")
      .def_readwrite("stsram_32b_size", &SramSize::stsram_32b_size,
                     "Size of STSRAM in 32-bit words (Mivo only).")
      .def_readwrite("fsram_64b_size", &SramSize::fsram_64b_size,
                     "Size of FSRAM in 64-bit words (Mivo only).")
      .def_readwrite("tsram_51b_size", &SramSize::tsram_51b_size,
                     "Size of TSRAM in 51-bit words (Mivo only).")
      .def_readwrite("evsram_32b_size", &SramSize::evsram_32b_size,
                     "Size of EVSRAM in 32-bit words (Mivo only).")
      .def(py::self == py::self);

  // The per-generation table lives in read-only memory and every mesh construction copies from
  // it: Python gets copies, so assigning a field of one of these changes that copy only.
  np.attr("SramSize_v1") = py::cast(SramSize_v1);
  np.attr("SramSize_v2") = py::cast(SramSize_v2);
  np.attr("SramSize_mivo") = py::cast(SramSize_mivo);
}

void register_mesh(py::module_& np) {
  py::class_<Mesh>(np, "Mesh",
                   "\n    Represents the layout of a mesh of Neural Processors.\n\n    Contains "
                   "configuration and event endpoints related to DMA (Direct Memory Access)\n    "
                   "for managing data transfer across the mesh, HRC availability and sram memory "
                   "sizes.\n    ")
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                       std::optional<np::Info> hrc, std::vector<np::Info> nps,
                       std::vector<np::Info> skip_dmas) {
             return Mesh(version, dma_event, dma_conf, std::move(hrc), std::move(nps),
                         std::move(skip_dmas));
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("hrc"),
           py::arg("nps"), py::arg("skip_dmas") = std::vector<np::Info>{})
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                       std::optional<np::Info> has_hrc, std::vector<np::Info> nps,
                       std::vector<np::Info> skip_dmas, const SramSize& np_sram_size) {
             // The constructor checks the version even though the sizes are given.
             Mesh mesh(version, dma_event, dma_conf, std::move(has_hrc), std::move(nps),
                       std::move(skip_dmas));
             mesh.np_sram_size = np_sram_size;
             return mesh;
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("has_hrc"),
           py::arg("nps"), py::arg("skip_dmas") = std::vector<np::Info>{},
           py::arg("np_sram_size"))
      .def_readwrite("dma_event", &Mesh::dma_event, "DMA event endpoint")
      .def_readwrite("dma_conf", &Mesh::dma_conf, "DMA configuration endpoint")
      .def_property(
          "hrc",
          [](py::handle self) -> py::object {
            auto& mesh = self.cast<Mesh&>();
            if (!mesh.hrc) return py::none();
            return py::cast(&*mesh.hrc, py::return_value_policy::reference_internal, self);
          },
          [](Mesh& mesh, std::optional<np::Info> hrc) {
            if (mesh.hrc) detach_views_of(*mesh.hrc);
            mesh.hrc = std::move(hrc);
          },
          "HRC if installed.")
      .def_property(
          "skip_dmas",
          [](py::handle self) { return info_views(self.cast<Mesh&>().skip_dmas, self); },
          [](Mesh& mesh, std::vector<np::Info> skip_dmas) {
            detach_views_of(mesh.skip_dmas);
            mesh.skip_dmas = std::move(skip_dmas);
          },
          "Skip DMAs")
      .def_property(
          "nps", [](py::handle self) { return info_views(self.cast<Mesh&>().nps, self); },
          [](Mesh& mesh, std::vector<np::Info> nps) {
            detach_views_of(mesh.nps);
            mesh.nps = std::move(nps);
          },
          "Neural processors")
      .def_readwrite("np_sram_size", &Mesh::np_sram_size,
                     "Size of shared SRAM available inside the mesh for NPs.")
      .def(py::self == py::self);
}

}  // namespace

void register_np_mesh(py::module_& np) {
  register_sram_size(np);
  register_mesh(np);
}

}  // namespace qalto::python
