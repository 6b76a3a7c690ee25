#include "qalto/layer.hpp"

#include <flatbuffers/util.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "qalto/saturating.hpp"

namespace qalto {

const char* layer_type_name(LayerType type) {
  switch (type) {
    case LayerType::Unknown: return "Unknown";
    case LayerType::InputData: return "InputData";
    case LayerType::InputConvolutional: return "InputConvolutional";
    case LayerType::FullyConnected: return "FullyConnected";
    case LayerType::Convolutional: return "Convolutional";
    case LayerType::SeparableConvolutional: return "SeparableConvolutional";
    case LayerType::Add: return "Add";
    case LayerType::Concatenate: return "Concatenate";
    case LayerType::Conv2D: return "Conv2D";
    case LayerType::InputConv2D: return "InputConv2D";
    case LayerType::DepthwiseConv2D: return "DepthwiseConv2D";
    case LayerType::Conv2DTranspose: return "Conv2DTranspose";
    case LayerType::Dequantizer: return "Dequantizer";
    case LayerType::DepthwiseConv2DTranspose: return "DepthwiseConv2DTranspose";
    case LayerType::BufferTempConv: return "BufferTempConv";
    case LayerType::DepthwiseBufferTempConv: return "DepthwiseBufferTempConv";
    case LayerType::Dense1D: return "Dense1D";
    case LayerType::StatefulRecurrent: return "StatefulRecurrent";
    case LayerType::Quantizer: return "Quantizer";
    case LayerType::MivoPostProcessing: return "MivoPostProcessing";
  }
  return "Unknown";
}

bool is_valid_utf8(const std::string& text) {
  // FromUTF8 refuses overlong forms, surrogates and code points past U+10FFFF, as Python's
  // decoder does; the string's terminating NUL stops a sequence cut short at the end.
  const char* cursor = text.c_str();
  const char* const end = cursor + text.size();
  while (cursor < end) {
    if (flatbuffers::FromUTF8(&cursor) < 0) return false;
  }
  return true;
}

ComponentKind component_kind_of(hw::Type type) {
  switch (type) {
    case hw::Type::HRC: return ComponentKind::HRC;
    case hw::Type::CNP1:
    case hw::Type::CNP2: return ComponentKind::CNP;
    case hw::Type::FNP2:
    case hw::Type::FNP3: return ComponentKind::FNP;
    case hw::Type::SKIP_DMA_STORE:
    case hw::Type::SKIP_DMA_LOAD: return ComponentKind::SKIP_DMA;
    case hw::Type::TNP_B: return ComponentKind::TNP_B;
    case hw::Type::TNP_R: return ComponentKind::TNP_R;
    case hw::Type::DMA: return ComponentKind::DMA;
    default: return ComponentKind::None;
  }
}

// ---- LayerParams ----

std::shared_ptr<LayerParams> LayerParams::create(LayerType type,
                                                 const std::map<std::string, int32_t>& entries) {
  return std::make_shared<LayerParams>(type, entries);
}

std::shared_ptr<LayerParams> LayerParams::clone(const LayerParams& params) {
  return std::make_shared<LayerParams>(params);
}

int32_t LayerParams::get(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) throw std::invalid_argument("Key " + key + " not found");
  return it->second;
}

int32_t LayerParams::get_or(const std::string& key, int32_t fallback) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? fallback : it->second;
}

bool LayerParams::has(const std::string& key) const { return entries_.count(key) != 0; }

std::vector<std::string> LayerParams::keys() const {
  std::vector<std::string> names;
  for (const auto& [name, value] : entries_) names.push_back(name);
  return names;
}

// ---- LearningParams ----

std::shared_ptr<LearningParams> LearningParams::create(
    int32_t learning_type, const std::map<std::string, double>& entries) {
  return std::make_shared<LearningParams>(learning_type, entries);
}

std::shared_ptr<LearningParams> LearningParams::clone(const LearningParams& params) {
  return std::make_shared<LearningParams>(params);
}

double LearningParams::get(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) throw std::invalid_argument("Key " + key + " not found");
  return it->second;
}

std::vector<std::string> LearningParams::keys() const {
  std::vector<std::string> names;
  for (const auto& [name, value] : entries_) names.push_back(name);
  return names;
}

// ---- Variables ----

std::vector<std::string> Variables::names() const {
  std::vector<std::string> names;
  for (const auto& [name, tensor] : tensors_) names.push_back(name);
  return names;
}

std::shared_ptr<Dense> Variables::get(const std::string& name) const {
  auto it = tensors_.find(name);
  if (it == tensors_.end()) throw std::invalid_argument(name + " : no such variable");
  return it->second;
}

void Variables::set(const std::string& name, std::shared_ptr<Dense> tensor) {
  if (!tensor) throw std::invalid_argument("Cannot set variable " + name + " to nothing.");
  if (!is_valid_utf8(name)) throw std::invalid_argument("A variable name must be UTF-8 text.");
  auto it = tensors_.find(name);
  if (it != tensors_.end()) {
    const Dense& current = *it->second;
    if (tensor->type() != current.type()) {
      throw std::invalid_argument("Variable " + name + " expects type " +
                                  Tensor::type_name(current.type()) + ", got " +
                                  Tensor::type_name(tensor->type()) + ".");
    }
    if (!(tensor->dimensions() == current.dimensions())) {
      throw std::invalid_argument("Variable " + name + " expects shape " +
                                  current.dimensions().to_string() + ", got " +
                                  tensor->dimensions().to_string() + ".");
    }
    const uint64_t outside = tensor->first_value_out_of_range();
    if (outside < tensor->size()) {
      throw std::invalid_argument("Variable " + name + " of type " +
                                  Tensor::type_name(tensor->type()) + " cannot hold " +
                                  std::to_string(tensor->value_as_int(outside)) + ".");
    }
  }
  tensors_[name] = std::move(tensor);
}

void Variables::declare(const std::string& name, std::shared_ptr<Dense> tensor) {
  tensors_[name] = std::move(tensor);
}

uint64_t Variables::byte_size() const {
  uint64_t total = 0;
  for (const auto& [name, tensor] : tensors_) total += tensor->byte_size();
  return total;
}

// ---- Layer ----

Layer::Layer(std::shared_ptr<LayerParams> params, std::string name)
    : name_(std::move(name)), params_(std::move(params)) {}

const std::vector<Shape>& Layer::input_dimensions() const {
  if (input_dims_.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return input_dims_;
}

namespace {

// The InputData feeding `inbound` (its first inbound layer), null when none does.
const Layer* feeding_input(const std::vector<std::shared_ptr<Layer>>& inbound) {
  if (inbound.empty() || inbound.front()->type() != LayerType::InputData) return nullptr;
  return inbound.front().get();
}

}  // namespace

uint8_t Layer::input_bits() const {
  if (!inbound_.empty()) return inbound_.front()->output_bits();
  return static_cast<uint8_t>(params_->get_or("input_bits", 8));
}

uint8_t Layer::output_bits() const {
  return static_cast<uint8_t>(params_->get_or("output_bits", 8));
}

bool Layer::output_signed() const { return params_->get_or("output_signed", 0) != 0; }

ComponentKind Layer::target_kind() const {
  switch (type()) {
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D: return ComponentKind::HRC;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: return ComponentKind::CNP;
    case LayerType::FullyConnected:
    case LayerType::Dense1D: return ComponentKind::FNP;
    case LayerType::Add:
    case LayerType::Concatenate: return ComponentKind::SKIP_DMA;
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return ComponentKind::TNP_B;
    case LayerType::StatefulRecurrent: return ComponentKind::TNP_R;
    default: return ComponentKind::None;
  }
}

bool Layer::is_depthwise() const {
  switch (type()) {
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::DepthwiseBufferTempConv: return true;
    default: return false;
  }
}

bool Layer::activation_enabled() const { return params_->get_or("activation", 0) != 0; }

uint32_t Layer::activation_type() const {
  return static_cast<uint32_t>(params_->get_or("activation", 0));
}

bool Layer::activation_is(ActivationType type) const {
  return activation_type() == static_cast<uint32_t>(type);
}

bool Layer::pooling_is(PoolType type) const {
  return static_cast<uint32_t>(params_->get_or("pool_type", 0)) == static_cast<uint32_t>(type);
}

bool Layer::has_activation() const {
  switch (type()) {
    case LayerType::InputData:
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Quantizer:
    case LayerType::Dequantizer:
    case LayerType::Unknown: return false;
    default: return activation_enabled();
  }
}

int32_t Layer::input_sign_code() const {
  if (const Layer* input = feeding_input(inbound_)) return input->input_sign_code();
  switch (type()) {
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D: return 1;  // the HRC reads unsigned pixels
    case LayerType::InputData: return params_->get_or("input_signed", 0) != 0 ? 2 : 1;
    default: return 0;
  }
}

bool Layer::splittable() const {
  switch (type()) {
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::FullyConnected:
    case LayerType::Dense1D: return true;
    default: return false;
  }
}

bool Layer::is_input_layer() const {
  switch (type()) {
    case LayerType::InputData: return true;
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D:
    case LayerType::Quantizer: return params_->has("input_width");
    default: return false;
  }
}

uint64_t Layer::macs() const {
  if (!built_) return 0;
  const Shape& in = input_dims_.front();
  const uint64_t channels = in[in.size() - 1];
  const uint64_t units = output_dims_[output_dims_.size() - 1];
  // Counts past 64 bits saturate: a wrapped count would look small.
  switch (type()) {
    case LayerType::FullyConnected:
    case LayerType::Dense1D: {
      uint64_t inputs = 1;
      for (uint32_t d : in) inputs = saturating_mul(inputs, d);
      return saturating_mul(inputs, units);
    }
    case LayerType::StatefulRecurrent: return saturating_mul(channels + units, units);
    default: break;
  }
  if (!conv_params_) return 0;
  const uint64_t kw = params_->get_or("kernel_width", params_->get_or("kernel_size", 1));
  const uint64_t kh = params_->get_or("kernel_height", params_->get_or("kernel_size", 1));
  const uint64_t positions = uint64_t{conv_params_->output_width} * conv_params_->output_height;
  const uint64_t window = saturating_mul(kw, kh);
  if (type() == LayerType::SeparableConvolutional) {
    const uint64_t per_position = saturating_add(saturating_mul(window, channels),
                                                 saturating_mul(channels, units));
    return saturating_mul(positions, per_position);
  }
  const uint64_t per_filter = is_depthwise() ? window : saturating_mul(window, channels);
  return saturating_mul(saturating_mul(positions, per_filter), units);
}

bool Layer::can_learn() const {
  return type() == LayerType::FullyConnected || type() == LayerType::Dense1D;
}

std::vector<std::shared_ptr<Layer>> Layer::outbound_layers() const {
  std::vector<std::shared_ptr<Layer>> layers;
  for (const auto& weak : outbound_)
    if (auto layer = weak.lock()) layers.push_back(std::move(layer));
  return layers;
}

const ConvCalculatedParams& Layer::conv_calculated_params() const {
  if (!conv_params_) throw std::runtime_error("The layer " + name_ + " is not built.");
  return *conv_params_;
}

const PoolingCalculatedParams& Layer::pool_calculated_params() const {
  if (!pool_params_) throw std::runtime_error("The layer " + name_ + " is not built.");
  return *pool_params_;
}

void Layer::connect_inbound(const std::vector<std::shared_ptr<Layer>>& inbound) {
  inbound_ = inbound;
  for (const auto& source : inbound_) source->outbound_.push_back(weak_from_this());
}

void Layer::disconnect() {
  for (const auto& source : inbound_) {
    auto& out = source->outbound_;
    out.erase(std::remove_if(out.begin(), out.end(),
                             [this](const std::weak_ptr<Layer>& w) {
                               auto l = w.lock();
                               return !l || l.get() == this;
                             }),
              out.end());
  }
  inbound_.clear();
}

}  // namespace qalto
