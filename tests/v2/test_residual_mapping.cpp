// Residual graphs mapped on virtual v2 chips through the model: the skip-DMA records of every
// mapping agree with the graph across passes, and every mapping that succeeds can run.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mapping/hardware_backend.hpp"
#include "mapping/layer_mapping.hpp"
#include "qalto/model.hpp"
#include "qalto/program_info.hpp"
#include "qalto/software.hpp"
#include "support/published_networks.hpp"

namespace qalto {
namespace {

using Params = std::map<std::string, int32_t>;
using LayerPtr = std::shared_ptr<Layer>;

// Random residual graphs: chains and nestings of blocks whose body (1 to 8 layers) joins a
// skip input again in an Add or a Concatenate (either input order), the joining layer followed
// by the convolution that merges it; a block may start from the previous block's joining layer,
// as identity blocks do. Channels 1 to 64. The skip input is mostly the block's source, but
// may be the model input or the source of an earlier block (which then feeds several joins);
// a join may also read one layer twice, take three inputs, or feed another join directly.
// With `refused`, some layers are ones v2 does not map (a 2 x 2 kernel), so that mappings stop
// inside skip connections.
class ResidualGraph {
 public:
  enum Shape { kPlain, kFromInput, kLongSkip, kTwice, kThreeInputs, kIntoJoin, kShapes };
  std::unique_ptr<Model> model = Model::create();
  std::map<const Layer*, Shape> shape_of_merge;

  ResidualGraph(uint32_t seed, bool refused) : rng_(seed), refused_(refused) {
    const int32_t size = pick(0, 1) ? 8 : 16;
    input_ = add(LayerType::InputData,
                 {{"input_width", size}, {"input_height", size}, {"input_channels", pick(1, 64)}},
                 {});
    LayerPtr current = conv(input_);
    const int blocks = pick(1, 6);
    for (int b = 0; b < blocks; ++b) current = block(current, 2);
    conv(current);
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  LayerPtr add(LayerType type, const Params& params, const std::vector<LayerPtr>& inbound) {
    auto layer = Layer::create(LayerParams(type, params), "l" + std::to_string(count_++));
    model->add(layer, inbound);
    return layer;
  }

  static int32_t channels(const LayerPtr& layer) {
    return static_cast<int32_t>(layer->output_dimensions()[2]);
  }

  // A convolution keeping the map size; `filters` 0 keeps the channel count.
  LayerPtr conv(const LayerPtr& from, int32_t filters = 0) {
    const bool keep = filters == 0 || filters == channels(from);
    if (filters == 0) filters = channels(from);
    const int32_t kernel = refused_ && pick(0, 24) == 0 ? 2 : (pick(0, 1) ? 1 : 3);
    if (keep && kernel == 3 && pick(0, 2) == 0) return add(LayerType::DepthwiseConv2D, {}, {from});
    return add(LayerType::Conv2D, {{"filters", filters}, {"kernel_size", kernel}}, {from});
  }

  // A body's last layer with `want` channels (0: any up to 64 - `beside`).
  LayerPtr end_with(const LayerPtr& body, int32_t want, int32_t beside) {
    if (want == 0) return conv(body, pick(1, 64 - beside));
    return channels(body) == want ? body : conv(body, want);
  }

  Shape pick_shape(const LayerPtr& source) {
    const Shape shape = pick(0, 5) ? kPlain : static_cast<Shape>(pick(1, kShapes - 1));
    if (shape == kLongSkip && earlier_sources_.empty()) return kPlain;
    // The model input is no skip source when it is the block's source anyway.
    if (shape == kFromInput && source == input_) return kPlain;
    return shape;
  }

  // A block from `source`: its body, the join, and the merge layer after the join, which the
  // result is. `depth` bounds the nesting.
  LayerPtr block(LayerPtr source, int depth) {
    const Shape shape = pick_shape(source);
    LayerPtr skip = source;
    if (shape == kFromInput) skip = input_;
    if (shape == kLongSkip) skip = earlier_sources_[pick(0, int(earlier_sources_.size()) - 1)];
    if (!source->is_target_component(ComponentKind::SKIP_DMA) && source != input_) {
      earlier_sources_.push_back(source);
    }
    LayerPtr body = source;
    const int length = pick(1, 8);
    std::vector<LayerPtr> body_layers;
    for (int i = 0; i < length; ++i) {
      body = depth > 0 && pick(0, 5) == 0 ? block(body, depth - 1) : conv(body);
      body_layers.push_back(body);
    }
    const bool concatenate = shape == kTwice || shape == kThreeInputs ||
                             (pick(0, 2) == 0 && channels(skip) <= 32);
    LayerPtr join;
    if (shape == kTwice) {
      body = end_with(body, 0, 32);
      join = add(LayerType::Concatenate, {}, {body, body});
    } else if (shape == kThreeInputs) {
      const LayerPtr middle = body_layers.front();
      const int32_t beside = channels(skip) + channels(middle);
      body = end_with(body, 0, std::min(beside, 63));
      join = add(LayerType::Concatenate, {}, {skip, middle, body});
    } else {
      // An Add needs its inputs' shapes equal; a Concatenate adds the channels up to 64.
      body = end_with(body, concatenate ? 0 : channels(skip), channels(skip));
      const bool skip_first = pick(0, 1) == 0;
      join = add(concatenate ? LayerType::Concatenate : LayerType::Add, {},
                 skip_first ? std::vector<LayerPtr>{skip, body} : std::vector<LayerPtr>{body, skip});
    }
    if (shape == kIntoJoin) {
      // The join's only reader is a second join, beside a layer of the same shape.
      const LayerPtr beside = conv(body, channels(join));
      join = add(LayerType::Add, {}, {join, beside});
    }
    // An identity block follows from the join itself, the join its next skip source.
    const bool identity = depth > 0 && pick(0, 1) == 0;
    // The merge layer reads the join.
    auto merge = add(LayerType::Conv2D, {{"filters", identity ? channels(join) : pick(1, 64)}},
                     {join});
    shape_of_merge[merge.get()] = shape;
    return identity ? block_from_join(join, merge, depth - 1) : merge;
  }

  // A block whose source is the joining layer `join`, its body starting with `merge`.
  LayerPtr block_from_join(const LayerPtr& join, const LayerPtr& merge, int depth) {
    LayerPtr body = merge;
    const int length = pick(0, 3);
    for (int i = 0; i < length; ++i) body = conv(body);
    if (channels(body) != channels(join)) body = conv(body, channels(join));
    auto next_join = add(LayerType::Add, {}, {join, body});
    auto next_merge = add(LayerType::Conv2D, {{"filters", channels(join)}}, {next_join});
    shape_of_merge[next_merge.get()] = kPlain;
    return depth > 0 && pick(0, 1) ? block_from_join(next_join, next_merge, depth - 1) : next_merge;
  }

  std::mt19937 rng_;
  bool refused_;
  int count_ = 0;
  LayerPtr input_;
  std::vector<LayerPtr> earlier_sources_;
};

struct Placed {
  std::map<const Layer*, size_t> position;  // in the hardware sequence, pass after pass
  std::map<const Layer*, size_t> pass;
  std::vector<LayerPtr> order;
};

Placed hardware_order(const Sequence& sequence) {
  Placed placed;
  for (size_t p = 0; p < sequence.passes().size(); ++p) {
    for (const auto& layer : sequence.passes()[p]->layers) {
      placed.position[layer.get()] = placed.order.size();
      placed.pass[layer.get()] = p;
      placed.order.push_back(layer);
    }
  }
  return placed;
}

struct Coverage {
  std::set<size_t> pass_counts;
  int loads_checked = 0;
  int loads_across_passes = 0;
  int dual_loads = 0;  // loads of a joining layer's output, stored by the merge layer after it
  std::map<ResidualGraph::Shape, int> generated, landed;
};

bool runs_on_hardware(const LayerPtr& layer) {
  return !layer->is_target_component(ComponentKind::None) &&
         !layer->is_target_component(ComponentKind::SKIP_DMA);
}

// The store a load reads: the last one written on its channel before the loading layer.
struct Store {
  LayerPtr layer;
  bool dual = false;
  uint8_t channel = 0;
  size_t position = 0;
};

std::vector<Store> stores_in_order(const Placed& placed) {
  std::vector<Store> stores;
  for (size_t i = 0; i < placed.order.size(); ++i) {
    auto mapping = layer_mapping_of(*placed.order[i]);
    if (!mapping) continue;
    if (mapping->skipdma_store_channel) {
      stores.push_back({placed.order[i], false, mapping->skipdma_store_channel->channel, i});
    }
    if (mapping->skipdma_store_dual_output_channel) {
      const uint8_t channel = mapping->skipdma_store_dual_output_channel->channel;
      stores.push_back({placed.order[i], true, channel, i});
    }
  }
  return stores;
}

// What a store holds: the storing layer's output, or, for a dual output, the join it merges.
LayerPtr held_data(const Store& store) {
  return store.dual ? store.layer->inbound_layers().front() : store.layer;
}

// Every join that lands on hardware gets each of its inputs to its merge layer: one through
// the merge layer's load, which reads the last store written on its channel before it, the
// other as the output of the hardware layer just before the merge layer. Two stores whose data
// both still wait to be loaded never share a channel.
void check_joins(const ResidualGraph& graph, const Sequence& sequence, Coverage* coverage,
                 const std::string& label) {
  const Placed placed = hardware_order(sequence);
  const std::vector<Store> stores = stores_in_order(placed);
  struct Held {
    uint8_t channel;
    size_t from, until;
  };
  std::vector<Held> held;
  for (size_t m = 0; m < placed.order.size(); ++m) {
    const LayerPtr& merge = placed.order[m];
    const auto shape = graph.shape_of_merge.find(merge.get());
    if (shape == graph.shape_of_merge.end()) continue;
    const std::string at = label + merge->get_name() + ": ";
    ++coverage->landed[shape->second];
    auto mapping = layer_mapping_of(*merge);
    ASSERT_TRUE(mapping && mapping->skipdma_load_channel) << at << "no load";
    const uint8_t channel = mapping->skipdma_load_channel->store_channel;
    const Store* loaded = nullptr;
    for (const Store& store : stores) {
      if (store.position < m && store.channel == channel) loaded = &store;
    }
    ASSERT_NE(loaded, nullptr) << at << "loads channel " << int(channel)
                               << ", which no store writes";
    size_t direct = m;
    while (direct > 0 && !runs_on_hardware(placed.order[direct - 1])) --direct;
    ASSERT_GT(direct, 0u) << at << "no hardware layer before it";
    std::multiset<const Layer*> reaching{held_data(*loaded).get(), placed.order[direct - 1].get()};
    std::multiset<const Layer*> inputs;
    for (const auto& input : merge->inbound_layers().front()->inbound_layers()) {
      inputs.insert(input.get());
    }
    EXPECT_EQ(reaching, inputs) << at << "an input of its join does not reach it (it loads "
                                << held_data(*loaded)->get_name() << ")";
    ++coverage->loads_checked;
    if (loaded->dual) ++coverage->dual_loads;
    if (placed.pass.at(loaded->layer.get()) != placed.pass.at(merge.get())) {
      ++coverage->loads_across_passes;
    }
    held.push_back({channel, loaded->position, m});
  }
  for (size_t a = 0; a < held.size(); ++a) {
    for (size_t b = a + 1; b < held.size(); ++b) {
      const bool overlap = held[a].from < held[b].until && held[b].from < held[a].until;
      if (overlap && held[a].from != held[b].from) {
        EXPECT_NE(held[a].channel, held[b].channel) << label << "two waiting stores share a channel";
      }
    }
  }
}

// No software layer reads a hardware output other than the last layer of a hardware sequence
// (the model's input excepted).
void check_runnable(const Model& model, const std::string& label) {
  std::set<const Layer*> on_device, returned;
  for (const auto& sequence : model.sequences()) {
    if (dynamic_cast<const SoftwareSequence*>(sequence.get())) {
      for (const auto& layer : sequence->passes().front()->layers) {
        for (const auto& source : layer->inbound_layers()) {
          if (source->type() == LayerType::InputData) continue;
          EXPECT_FALSE(on_device.count(source.get()) && !returned.count(source.get()))
              << label << layer->get_name() << " reads " << source->get_name()
              << ", which stays on the device";
        }
      }
      continue;
    }
    const Placed placed = hardware_order(*sequence);
    for (const auto& layer : placed.order) on_device.insert(layer.get());
    returned.insert(placed.order.back().get());
    const auto parts = sequence->program();
    EXPECT_NO_THROW(ProgramInfo(parts.data, parts.size)) << label;
  }
}

class ResidualMapping : public ::testing::Test {
 protected:
  void SetUp() override { register_hardware_backend(); }
};

TEST_F(ResidualMapping, SkipChannelsAgreeAcrossPassesAndEveryMapRuns) {
  struct MeshShape {
    uint8_t cols, rows, channels;
  };
  const MeshShape meshes[] = {{1, 1, 1}, {1, 1, 4}, {2, 1, 2}, {2, 2, 4}, {4, 4, 4}};
  Coverage coverage;
  for (uint32_t seed = 0; seed < 200; ++seed) {
    const bool refused = seed % 3 == 0;
    ResidualGraph graph(seed, refused);
    for (const auto& [merge, shape] : graph.shape_of_merge) ++coverage.generated[shape];
    // Fewer NPs and skip-DMA channels force more passes.
    const MeshShape shape = meshes[seed % std::size(meshes)];
    const std::string label = "seed " + std::to_string(seed) + ": ";
    graph.model->map(testing::mesh_device(shape.cols, shape.rows, shape.channels), false, nullptr);
    check_runnable(*graph.model, label);
    for (const auto& sequence : graph.model->sequences()) {
      if (dynamic_cast<const SoftwareSequence*>(sequence.get())) continue;
      coverage.pass_counts.insert(sequence->passes().size());
      check_joins(graph, *sequence, &coverage, label);
    }
    // hw_only either keeps every layer on the device or names the layer that stops it.
    try {
      graph.model->map(testing::mesh_device(shape.cols, shape.rows, shape.channels), true, nullptr);
      for (const auto& sequence : graph.model->sequences()) {
        EXPECT_FALSE(dynamic_cast<const SoftwareSequence*>(sequence.get())) << label;
      }
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind("Cannot map layer '", 0), 0u) << label << error.what();
    }
  }
  // The seeds reach one to six passes and skip connections that cross a pass boundary.
  for (size_t passes = 1; passes <= 6; ++passes) {
    EXPECT_TRUE(coverage.pass_counts.count(passes)) << passes << " passes never reached";
  }
  EXPECT_GT(coverage.loads_checked, 100);
  EXPECT_GT(coverage.loads_across_passes, 10);
  EXPECT_GT(coverage.dual_loads, 10);
  // Every shape is drawn; a join of one layer twice and a skip to several joins map.
  for (int shape = ResidualGraph::kPlain; shape < ResidualGraph::kShapes; ++shape) {
    EXPECT_GT(coverage.generated[ResidualGraph::Shape(shape)], 5) << "shape " << shape;
  }
  EXPECT_GT(coverage.landed[ResidualGraph::kTwice], 0);
  EXPECT_GT(coverage.landed[ResidualGraph::kLongSkip], 0);
}

}  // namespace
}  // namespace qalto
