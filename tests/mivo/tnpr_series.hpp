#pragma once
// TNP-R series for the Mivo tests: an input of (1, timesteps, channels) feeding recurrent
// layers, wired the way a model wires them, and variables filled with chosen values.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/hardware_constraints.hpp"
#include "support/graph_builder.hpp"

namespace qalto::testing {

// Stateful and output channels of the test layers unless a test asks for others.
inline constexpr int32_t kStates = 8;
inline constexpr int32_t kOutputs = 8;

struct Series {
  GraphBuilder graph;

  // (1, timesteps, channels) values of `bits` bits: above 8 bits the input layer's output
  // width says so (its own "input_bits" stops at 8).
  LayerPtr input(uint32_t timesteps, uint32_t channels, uint32_t bits = 8) {
    Params params{{"input_width", 1},
                  {"input_height", static_cast<int32_t>(timesteps)},
                  {"input_channels", static_cast<int32_t>(channels)}};
    if (bits <= 8) {
      params["input_bits"] = static_cast<int32_t>(bits);
      params["output_bits"] = static_cast<int32_t>(bits);
    } else {
      params["output_bits"] = static_cast<int32_t>(bits);
    }
    return graph.add(LayerType::InputData, "input", params, {});
  }

  LayerPtr stateful(const std::string& name, const LayerPtr& from, Params params = {}) {
    params.emplace("stateful_channels", kStates);
    params.emplace("output_channels", kOutputs);
    return graph.add(LayerType::StatefulRecurrent, name, params, {from});
  }

  LayerPtr post(const std::string& name, const LayerPtr& from) {
    return graph.add(LayerType::MivoPostProcessing, name, {}, {from});
  }

  LayerPtr add(LayerType type, const std::string& name, const LayerPtr& from, Params params = {}) {
    return graph.add(type, name, params, {from});
  }

  // `count` recurrent layers after `from`; returns them in order.
  std::vector<LayerPtr> chain(const LayerPtr& from, size_t count, Params params = {}) {
    std::vector<LayerPtr> layers;
    LayerPtr previous = from;
    for (size_t i = 0; i < count; ++i) {
      previous = stateful("sr" + std::to_string(i), previous, params);
      layers.push_back(previous);
    }
    return layers;
  }
};

// Writes `values` into the declared variable `name`, element k at storage index k, in the
// variable's own element type (the variable keeps its type and shape).
inline void set_values(Layer& layer, const std::string& name, const std::vector<int64_t>& values) {
  auto tensor = layer.variables().get(name);
  ASSERT_EQ(values.size(), tensor->size()) << name;
  for (size_t k = 0; k < values.size(); ++k) {
    switch (tensor->type()) {
      case TensorType::int8: tensor->data<int8_t>()[k] = static_cast<int8_t>(values[k]); break;
      case TensorType::uint8: tensor->data<uint8_t>()[k] = static_cast<uint8_t>(values[k]); break;
      case TensorType::int16: tensor->data<int16_t>()[k] = static_cast<int16_t>(values[k]); break;
      case TensorType::uint16:
        tensor->data<uint16_t>()[k] = static_cast<uint16_t>(values[k]);
        break;
      default: FAIL() << "unexpected type for " << name;
    }
  }
}

// Sets every element of `name` to `value`.
inline void fill_values(Layer& layer, const std::string& name, int64_t value) {
  set_values(layer, name, std::vector<int64_t>(layer.variables().get(name)->size(), value));
}

// A recurrent layer's output stage as a closing post-processing layer requires it.
inline void identity_output_stage(Layer& layer) { fill_values(layer, "output_scales", 1); }

// The Mivo budgets of the default SRAM sizes.
inline HardwareConstraints mivo_constraints() {
  HardwareConstraints c;
  c.stsram_32b_size = 448;
  c.fsram_64b_size = 8192;
  c.tsram_51b_size = 892;
  c.evsram_32b_size = 256;
  return c;
}

}  // namespace qalto::testing
