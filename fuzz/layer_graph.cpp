// Harness: bytes -> 1 to 8 layers of any type (values outside the enum included) with arbitrary
// parameter maps and fan-in -> add -> the use of the model (software run, round trip) -> map on
// virtual v2 and Mivo devices (fixed meshes and one read from the bytes) -> every program the
// mapping makes must pass the program information reader -> save/load round trip again.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz/model_use.hpp"
#include "fuzz/support.hpp"
#include "mapping/hardware_backend.hpp"
#include "qalto/device.hpp"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"
#include "qalto/program_info.hpp"

namespace {

using namespace qalto;
using fuzz::ByteReader;

constexpr fuzz::Allowed kUse = fuzz::Allowed::invalid_argument_or_runtime;
// A few parameter bytes may ask for large layers; the harness caps what each layer's new
// variables may take, as the model reader does.
constexpr uint64_t kVariableBytesPerLayer = 4u << 20;
constexpr uint32_t kMaxLayers = 8;

constexpr uint32_t kLayerTypes[] = {1, 2, 3, 4, 5, 6, 12, 14, 15, 16, 17, 19, 20, 21, 22, 25, 26, 27,
                                    28,
                                    // outside the enum
                                    0, 7, 8, 13, 29, 1000};
constexpr const char* kKeys[] = {
    "input_width", "input_height", "input_channels", "input_bits", "input_signed", "filters",
    "units", "kernel_size", "kernel_stride", "kernel_width", "kernel_height", "stride_x",
    "stride_y", "padding", "pool_type", "pool_size", "pool_stride", "pooling_width",
    "pooling_height", "pooling_stride_x", "pooling_stride_y", "pool_padding", "activation",
    "act_bits", "output_bits", "output_signed", "weights_bits", "buffer_bits", "fifo_size",
    "output_channels", "stateful_channels", "subsample", "channels_first", "threshold",
    "activation_shift", "max_value", "zero_points", "scales", "unknown_key"};
constexpr int32_t kValues[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 31, 32, 64, 255, 256, 257, 1023,
                               65535, 65536, -1, -2, std::numeric_limits<int32_t>::max(),
                               std::numeric_limits<int32_t>::min()};

int32_t pick_value(ByteReader& in) {
  const uint8_t how = in.byte();
  if (how < 160) return in.pick(kValues);
  if (how < 240) return in.byte() % 33;
  return static_cast<int32_t>(in.u32());
}

std::string pick_name(ByteReader& in, uint32_t index) {
  const uint8_t how = in.byte();
  if (how < 230) return "l" + std::to_string(index);
  if (how < 245) return "l" + std::to_string(how % 3);  // may repeat an earlier name
  const auto raw = in.bytes(1 + how % 3);                // any bytes, not always UTF-8
  return {raw.begin(), raw.end()};
}

std::shared_ptr<Layer> make_layer(ByteReader& in, uint32_t index) {
  // The first layer is most often an input of a small shape, so that later layers get built.
  const bool small_input = index == 0 && in.byte() < 200;
  const auto type = small_input ? LayerType::InputData
                                : static_cast<LayerType>(in.pick(kLayerTypes));
  std::map<std::string, int32_t> params;
  if (small_input) {
    params = {{"input_width", 1 + static_cast<int32_t>(in.below(12))},
              {"input_height", 1 + static_cast<int32_t>(in.below(12))},
              {"input_channels", 1 + static_cast<int32_t>(in.below(8))}};
  }
  for (uint32_t n = in.below(8); n > 0; --n) {
    const int32_t value = pick_value(in);  // the value's bytes come before the key's
    params[in.pick(kKeys)] = value;
  }
  const std::string name = pick_name(in, index);
  std::shared_ptr<Layer> layer;
  fuzz::documented("Layer::create", kUse,
                   [&] { layer = Layer::create(LayerParams(type, params), name); });
  return layer;
}

std::vector<std::shared_ptr<Layer>> pick_inbound(ByteReader& in, const Model& model) {
  std::vector<std::shared_ptr<Layer>> inbound;
  const uint32_t count = model.layer_count() == 0 ? 0 : in.below(4);  // 0: the last layer
  for (uint32_t i = 0; i < count; ++i) {
    inbound.push_back(model.layers()[in.below(static_cast<uint32_t>(model.layer_count()))]);
  }
  return inbound;
}

std::unique_ptr<Model> build_model(ByteReader& in) {
  auto model = Model::create();
  const uint32_t layers = 1 + in.below(kMaxLayers);
  for (uint32_t i = 0; i < layers; ++i) {
    auto layer = make_layer(in, i);
    if (!layer) continue;
    const auto inbound = pick_inbound(in, *model);
    layer->limit_new_variable_bytes(kVariableBytesPerLayer);
    const size_t before = model->layer_count();
    if (!fuzz::documented("Model::add", kUse, [&] { model->add(layer, inbound); })) {
      fuzz::check(model->layer_count() == before, "a refused add changed the model");
    }
    layer->limit_new_variable_bytes(Layer::kUnlimitedVariableBytes);
  }
  if (in.byte() >= 192) {
    const std::map<std::string, double> values{
        {"num_weights", static_cast<double>(pick_value(in))},
        {"num_classes", static_cast<double>(pick_value(in))}};
    fuzz::documented("Model::compile", kUse,
                     [&] { model->compile(LearningParams::create(0, values)); });
  }
  return model;
}

// ---- devices ----

np::Info node(uint8_t col, uint8_t row, uint8_t id, std::set<hw::Type> types, bool lut = true,
              uint8_t channel = 0) {
  return np::Info{hw::Ident{col, row, id, channel}, std::move(types), lut};
}

std::shared_ptr<Device> v2_demo_chip() {
  std::vector<np::Info> nps;
  for (uint8_t col : {1, 2})
    for (uint8_t row : {1, 2})
      for (uint8_t id = 0; id < 4; ++id) nps.push_back(node(col, row, id, {hw::Type::CNP1, hw::Type::CNP2}));
  std::vector<np::Info> skip{
      node(3, 2, 0, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false, 4)};
  return make_virtual_device(HwVersion::FPGA_v2, Mesh(IpVersion::v2, {3, 1, 0, 0}, {3, 1, 1, 0},
                                                      std::nullopt, nps, skip));
}

std::shared_ptr<Device> v2_mixed_chip() {
  std::vector<np::Info> nps;
  for (uint8_t id = 0; id < 4; ++id) {
    nps.push_back(node(1, 1, id, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2}));
    nps.push_back(node(1, 2, id, {hw::Type::CNP1, hw::Type::FNP3}, id % 2 == 0));
    nps.push_back(node(2, 1, id, {hw::Type::CNP2, hw::Type::TNP_B}));
  }
  std::vector<np::Info> skip{
      node(3, 2, 0, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false, 4),
      node(3, 2, 1, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false, 2)};
  return make_virtual_device(
      HwVersion::FPGA_v2, Mesh(IpVersion::v2, {3, 1, 0, 0}, {3, 1, 1, 0},
                               node(0, 1, 0, {hw::Type::HRC}), nps, skip));
}

std::shared_ptr<Device> mivo_chip() {
  std::vector<np::Info> nps{node(0, 0, 0, {hw::Type::TNP_R}, false),
                            node(0, 0, 1, {hw::Type::TNP_R}, false),
                            node(0, 1, 0, {hw::Type::TNP_B, hw::Type::CNP2}, false)};
  return make_virtual_device(HwVersion::Mivo_FPGA, Mesh(IpVersion::mivo, {1, 0, 0, 0},
                                                        {1, 0, 1, 0}, std::nullopt, nps, {}));
}

np::Info read_node(ByteReader& in) {
  // Node positions 0 to 3 only: a node holds four NPs, and the recorders refuse other ids
  // with the register field's overflow message (v2/mesh_routing.hpp).
  const hw::Ident ident{in.byte(), in.byte(), static_cast<uint8_t>(in.byte() % 4),
                        static_cast<uint8_t>(in.byte() % 8)};
  std::set<hw::Type> types;
  for (uint32_t n = 1 + in.below(3); n > 0; --n) types.insert(static_cast<hw::Type>(in.below(12)));
  return np::Info{ident, types, in.flag()};
}

std::shared_ptr<Device> chip_from_bytes(ByteReader& in) {
  const bool mivo = in.flag();
  std::vector<np::Info> nps;
  for (uint32_t n = in.below(24); n > 0; --n) nps.push_back(read_node(in));
  std::vector<np::Info> skip;
  for (uint32_t n = in.below(3); n > 0; --n) skip.push_back(read_node(in));
  std::optional<np::Info> hrc;
  if (in.flag()) hrc = read_node(in);
  // Read before the call: the order in which arguments are evaluated differs between compilers.
  const hw::Ident dma_event{in.byte(), in.byte(), 0, 0};
  const hw::Ident dma_conf{in.byte(), in.byte(), 1, 0};
  std::shared_ptr<Device> device;
  fuzz::documented("make_virtual_device", kUse, [&] {
    device = make_virtual_device(
        mivo ? HwVersion::Mivo_FPGA : HwVersion::FPGA_v2,
        Mesh(mivo ? IpVersion::mivo : IpVersion::v2, dma_event, dma_conf, hrc, nps, skip));
  });
  return device;
}

// Every program a mapping makes is read back by the reader that does not trust program bytes.
void check_programs(const Model& model) {
  for (const auto& sequence : model.sequences()) {
    const ByteView program = sequence->program();
    if (program.data == nullptr) continue;
    try {
      const ProgramInfo info(program.data, program.size);
      (void)input_memory_required(info);
      (void)output_memory_required(info);
      (void)extra_program_memory_required(info);
      (void)program_descriptors_memory_required(info);
      const auto parts = sequence->program_parts();
      fuzz::check(parts.program_info.size == info.info_part_size() &&
                      parts.program_data.size == info.data_part_size(),
                  "program parts disagree with the program reader");
    } catch (const std::exception& e) {
      fuzz::fault(std::string("a generated program is refused by its reader: ") + e.what());
    }
  }
}

// A mapping that succeeds can run: a hardware sequence returns its last layer's output only, so
// no later layer may read another of its layers (an InputData gives the model's input).
void check_runnable(const Model& model) {
  std::set<const Layer*> on_device;
  for (const auto& sequence : model.sequences()) {
    std::vector<const Layer*> own;
    for (const auto& pass : sequence->passes()) {
      for (const auto& layer : pass->layers) own.push_back(layer.get());
    }
    for (const Layer* layer : own) {
      for (const auto& source : layer->inbound_layers()) {
        fuzz::check(!on_device.count(source.get()) || source->type() == LayerType::InputData,
                    "a mapping that cannot run: " + layer->get_name() + " reads " +
                        source->get_name() + ", which stays on the device");
      }
    }
    if (sequence->backend() == BackendType::Hardware && !own.empty()) {
      on_device.insert(own.begin(), own.end() - 1);
    }
  }
}

// A mapping refused with a message a user cannot act on is a fault: the checks must have
// refused the layer with a status first (a register field that overflows while recording), and
// a failure must not read as success.
// A layer type that a generation refuses is refused by a status naming the layer: the mapping
// stops before it, or, with hw_only, raises naming it.
void check_map_refusal(const std::string& what, bool hw_only) {
  fuzz::check(what != "Success." && what.find("will cause an overflow") == std::string::npos &&
                  what.find("-bit signed integer") == std::string::npos,
              "Model::map failed with an unhelpful message: " + what);
  if (what.find(" is not supported on ") == std::string::npos) return;
  fuzz::check(hw_only && what.rfind("Cannot map layer '", 0) == 0,
              "Model::map threw a layer type's refusal instead of stopping at the layer: " + what);
}

void map_on(Model& model, const std::shared_ptr<Device>& device, bool hw_only) {
  if (!device) return;
  const bool mapped = fuzz::documented("Model::map", kUse, [&] {
    try {
      model.map(device, hw_only);
    } catch (const std::runtime_error& e) {
      check_map_refusal(e.what(), hw_only);
      throw;
    }
  });
  if (!mapped) return;
  check_programs(model);
  check_runnable(model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = (register_hardware_backend(), true);
  (void)registered;
  static const std::vector<std::shared_ptr<Device>> fixed_chips{v2_demo_chip(), v2_mixed_chip(),
                                                                mivo_chip()};

  ByteReader in(data, size);
  auto model = build_model(in);
  if (model->layer_count() == 0) return 0;
  fuzz::use_model(*model);
  const bool hw_only = in.flag();
  for (const auto& chip : fixed_chips) map_on(*model, chip, hw_only);
  map_on(*model, chip_from_bytes(in), hw_only);
  fuzz::check_round_trip(*model);
  return 0;
}
