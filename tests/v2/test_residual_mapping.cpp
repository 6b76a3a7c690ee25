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

// Random residual graphs: chains and nestings of blocks whose body (1 to 8 layers) joins its
// source again in an Add or a Concatenate (either input order), the joining layer followed by
// the convolution that merges it; a block may start from the previous block's joining layer,
// as identity blocks do. Channels 1 to 64. With `refused`, some layers are ones v2 does not
// map (a 2 x 2 kernel), so that mappings stop inside skip connections.
class ResidualGraph {
 public:
  // For each merge layer: the layer whose store its load must read, and whether that is the
  // layer's dual-output store (the source was a joining layer).
  struct ExpectedLoad {
    LayerPtr store;
    bool dual;
  };
  std::unique_ptr<Model> model = Model::create();
  std::map<const Layer*, ExpectedLoad> loads;

  ResidualGraph(uint32_t seed, bool refused) : rng_(seed), refused_(refused) {
    const int32_t size = pick(0, 1) ? 8 : 16;
    auto input = add(LayerType::InputData,
                     {{"input_width", size}, {"input_height", size}, {"input_channels", pick(1, 64)}},
                     {});
    LayerPtr current = conv(input);
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

  // A block from `source`: its body, the join, and the merge layer after the join, which the
  // result is. `depth` bounds the nesting.
  LayerPtr block(LayerPtr source, int depth) {
    const bool concatenate = pick(0, 2) == 0 && channels(source) <= 32;
    LayerPtr body = source;
    const int length = pick(1, 8);
    for (int i = 0; i < length; ++i) {
      body = depth > 0 && pick(0, 5) == 0 ? block(body, depth - 1) : conv(body);
    }
    // An Add needs its inputs' shapes equal; a Concatenate adds the channels up to 64 at most.
    if (concatenate) {
      body = conv(body, pick(1, 64 - channels(source)));
    } else if (channels(body) != channels(source)) {
      body = conv(body, channels(source));
    }
    const bool skip_first = pick(0, 1) == 0;
    auto join = add(concatenate ? LayerType::Concatenate : LayerType::Add, {},
                    skip_first ? std::vector<LayerPtr>{source, body}
                               : std::vector<LayerPtr>{body, source});
    // An identity block follows from the join itself, the join its next skip source.
    const bool identity = depth > 0 && pick(0, 1) == 0;
    // The merge layer reads the join.
    auto merge = add(LayerType::Conv2D, {{"filters", identity ? channels(join) : pick(1, 64)}},
                     {join});
    const bool source_is_join = source->is_target_component(ComponentKind::SKIP_DMA);
    loads[merge.get()] = {source_is_join ? merge_of_.at(source.get()) : source, source_is_join};
    merge_of_[join.get()] = merge;
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
    loads[next_merge.get()] = {merge, true};
    merge_of_[next_join.get()] = next_merge;
    return depth > 0 && pick(0, 1) ? block_from_join(next_join, next_merge, depth - 1) : next_merge;
  }

  std::mt19937 rng_;
  bool refused_;
  int count_ = 0;
  std::map<const Layer*, LayerPtr> merge_of_;
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

const SkipDmaStoreChannelInfo* store_record(const LayerPtr& layer, bool dual) {
  auto mapping = layer_mapping_of(*layer);
  if (!mapping) return nullptr;
  return dual ? mapping->skipdma_store_dual_output_channel.get()
              : mapping->skipdma_store_channel.get();
}

struct Coverage {
  std::set<size_t> pass_counts;
  int loads_checked = 0;
  int loads_across_passes = 0;
  int dual_loads = 0;  // loads of a joining layer's output, stored by the merge layer after it
};

// Every merge layer's load reads the channel its skip source's store writes, and two stores
// whose data both still wait to be loaded never share a channel.
void check_channels(const ResidualGraph& graph, const Sequence& sequence, Coverage* coverage,
                    const std::string& label) {
  const Placed placed = hardware_order(sequence);
  struct Held {
    uint8_t channel;
    size_t from, until;
  };
  std::vector<Held> held;
  for (const auto& [merge, expected] : graph.loads) {
    if (!placed.position.count(merge)) continue;
    auto mapping = layer_mapping_of(*merge);
    ASSERT_TRUE(mapping && mapping->skipdma_load_channel) << label << merge->get_name();
    const auto* store = store_record(expected.store, expected.dual);
    ASSERT_NE(store, nullptr) << label << merge->get_name() << " loads from "
                              << expected.store->get_name() << ", which stores nothing";
    EXPECT_EQ(mapping->skipdma_load_channel->store_channel, store->channel)
        << label << merge->get_name() << " loads from " << expected.store->get_name();
    ++coverage->loads_checked;
    if (expected.dual) ++coverage->dual_loads;
    const size_t from = placed.position.at(expected.store.get());
    const size_t until = placed.position.at(merge);
    if (placed.pass.at(expected.store.get()) != placed.pass.at(merge)) {
      ++coverage->loads_across_passes;
    }
    held.push_back({store->channel, from, until});
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
  for (uint32_t seed = 0; seed < 120; ++seed) {
    const bool refused = seed % 3 == 0;
    ResidualGraph graph(seed, refused);
    // Fewer NPs and skip-DMA channels force more passes.
    const MeshShape shape = meshes[seed % std::size(meshes)];
    const std::string label = "seed " + std::to_string(seed) + ": ";
    graph.model->map(testing::mesh_device(shape.cols, shape.rows, shape.channels), false, nullptr);
    check_runnable(*graph.model, label);
    for (const auto& sequence : graph.model->sequences()) {
      if (dynamic_cast<const SoftwareSequence*>(sequence.get())) continue;
      coverage.pass_counts.insert(sequence->passes().size());
      check_channels(graph, *sequence, &coverage, label);
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
}

}  // namespace
}  // namespace qalto
