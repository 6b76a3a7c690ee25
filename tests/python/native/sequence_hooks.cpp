// Hooks for the tests of sequences and layers: a fake sequence built from Python, layer graphs
// built without the Python Model, and mapping records attached by hand. The fake sequence stands
// in for the hardware sequence behind the same engine interface.

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "qalto/layer.hpp"
#include "qalto/model.hpp"
#include "qalto/sequence.hpp"
#include "testing.hpp"

namespace qalto::testing {

namespace {

using LayerList = std::vector<std::shared_ptr<Layer>>;
// Offsets and sizes of the two parts inside the program; an offset of -1 gives a null view.
using PartsLayout = std::tuple<int64_t, uint64_t, int64_t, uint64_t>;

class FakePass : public Sequence::Pass {};

class FakeSequence : public Sequence {
 public:
  FakeSequence(std::optional<std::string> program, const std::vector<LayerList>& passes,
               std::string name, BackendType backend, std::optional<PartsLayout> layout)
      : program_(std::move(program)), name_(std::move(name)), backend_(backend), layout_(layout) {
    for (const auto& layers : passes) {
      auto pass = std::make_shared<FakePass>();
      pass->layers = layers;
      passes_.push_back(pass);
    }
  }

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return backend_; }
  ByteView program() const override {
    if (!program_) return {};
    return {reinterpret_cast<const uint8_t*>(program_->data()), program_->size()};
  }
  // Split like a hardware program, or by the given layout (which may be wrong on purpose).
  ProgramParts program_parts() const override {
    if (!layout_) return split_program(program());
    const auto [info_at, info_size, data_at, data_size] = *layout_;
    return {view_at(info_at, info_size), view_at(data_at, data_size)};
  }
  std::string name() const override { return name_; }

 private:
  ByteView view_at(int64_t offset, uint64_t size) const {
    if (offset < 0 || !program_) return {};
    return {reinterpret_cast<const uint8_t*>(program_->data()) + offset, size};
  }

  std::optional<std::string> program_;
  std::vector<std::shared_ptr<Pass>> passes_;
  std::string name_;
  BackendType backend_;
  std::optional<PartsLayout> layout_;
};

std::shared_ptr<Sequence> make_sequence(std::optional<py::bytes> program,
                                        const std::vector<LayerList>& passes,
                                        const std::string& name, BackendType backend,
                                        std::optional<PartsLayout> layout) {
  std::optional<std::string> bytes;
  if (program) bytes = std::string(*program);
  return std::make_shared<FakeSequence>(std::move(bytes), passes, name, backend, layout);
}

// Adds the layers to a model in order, each fed by the layers at the given indices (an empty
// list: by the previous layer), so they get their shapes and variables as a user's model would.
void build_graph(const LayerList& layers, const std::vector<std::vector<size_t>>& inbounds) {
  auto model = Model::create();
  for (size_t i = 0; i < layers.size(); ++i) {
    LayerList sources;
    if (i < inbounds.size()) {
      for (size_t index : inbounds[i]) sources.push_back(layers.at(index));
    }
    model->add(layers[i], sources);
  }
}

hw::Component component(hw::Type type, uint8_t col) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, 1, 0, 0};
  return c;
}

// A hardware mapping record: `nps` CNP2 components, then skip-DMA stores and loads.
void attach_layer_mapping(const std::shared_ptr<Layer>& layer, uint8_t nps, uint8_t stores,
                          uint8_t loads, bool dual_output) {
  auto mapping = std::make_shared<LayerMapping>();
  uint8_t col = 0;
  for (uint8_t i = 0; i < nps; ++i) mapping->nps().push_back(component(hw::Type::CNP2, col++));
  for (uint8_t i = 0; i < stores; ++i) {
    mapping->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, col++));
  }
  for (uint8_t i = 0; i < loads; ++i) {
    mapping->skipdma_loads.push_back(component(hw::Type::SKIP_DMA_LOAD, col++));
  }
  mapping->dual_output_store = dual_output;
  layer->set_mapping(mapping);
}

// A record of another kind: the engine's base record with `nps` CNP1 components, or without a
// component list at all when `nps` is negative.
void attach_plain_mapping(const std::shared_ptr<Layer>& layer, int nps) {
  auto mapping = std::make_shared<Layer::Mapping>();
  if (nps < 0) mapping->components.reset();
  for (int i = 0; i < nps; ++i) {
    mapping->components->push_back(component(hw::Type::CNP1, static_cast<uint8_t>(i)));
  }
  layer->set_mapping(mapping);
}

// Declares a variable of any element type (no engine layer type has packed variables yet).
void declare_variable(const std::shared_ptr<Layer>& layer, const std::string& name, uint8_t type,
                      const std::vector<uint32_t>& shape) {
  layer->variables().declare(name, Dense::create(static_cast<TensorType>(type), Shape(shape)));
}

}  // namespace

void register_testing_sequences(py::module_& m) {
  m.def("make_sequence", &make_sequence, py::arg("program"), py::arg("passes"),
        py::arg("name") = "fake", py::arg("backend") = BackendType::Hardware,
        py::arg("layout") = py::none());
  m.def("build_graph", &build_graph, py::arg("layers"),
        py::arg("inbounds") = std::vector<std::vector<size_t>>{});
  m.def("attach_layer_mapping", &attach_layer_mapping, py::arg("layer"), py::arg("nps"),
        py::arg("stores") = 0, py::arg("loads") = 0, py::arg("dual_output") = false);
  m.def("attach_plain_mapping", &attach_plain_mapping, py::arg("layer"), py::arg("nps"));
  m.def("declare_variable", &declare_variable, py::arg("layer"), py::arg("name"),
        py::arg("type"), py::arg("shape"));
}

}  // namespace qalto::testing
