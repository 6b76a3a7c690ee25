#include "v2/cnp_registers.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

#include "qalto/panic.hpp"
#include "qalto/reg_detail.hpp"
#include "v2/np_registers.hpp"
#include "v2/registers.hpp"

namespace qalto::v2 {

namespace {

// The input offsets are 3-bit two's complement fields; the output and activation shifts 6-bit.
constexpr uint32_t kOffsetBits = 3;
constexpr int32_t kShiftFieldMin = -32;
constexpr int32_t kShiftFieldMax = 31;
constexpr uint32_t kShiftFieldBits = 6;
constexpr uint32_t kActShiftLowBits = 5;

// Code of an 8-bit (3) or narrower (2) width in the data-format fields.
constexpr uint32_t kWidthCodeWide = 3;
constexpr uint32_t kWidthCodeNarrow = 2;

// The routines write into a copy and hand it back only when every field fitted, so that a
// panic leaves the caller's image untouched.
std::vector<uint32_t> working_copy(const std::vector<uint32_t>* regs) {
  if (regs == nullptr || regs->size() < NP_REGISTER_WORDS) {
    throw std::invalid_argument("An NP register image needs " +
                                std::to_string(NP_REGISTER_WORDS) + " words.");
  }
  return *regs;
}

void set_flag(std::vector<uint32_t>& image, size_t word, const RegDetail& field, bool on) {
  set_field(&image[word], field, on ? 1u : 0u);
}

void set(std::vector<uint32_t>& image, size_t word, const RegDetail& field, uint32_t value) {
  set_field(&image[word], field, value);
}

// Writes 1 << id into a mask field. Ids of 32 or more cannot be shifted in 32 bits; they are
// reported with the same overflow message as any id too large for the field.
void set_one_hot(std::vector<uint32_t>& image, size_t word, const RegDetail& field, uint32_t id) {
  if (id >= 32) {
    const std::string value =
        id < 64 ? std::to_string(uint64_t{1} << id) : "2^" + std::to_string(id);
    const std::string message = "Attempted to write value " + value + " into a " +
                                std::to_string(field.nb_bits) +
                                "-bit field, which will cause an overflow.";
    panic("%s", message.c_str());
  }
  set_field(&image[word], field, uint32_t{1} << id);
}

uint32_t clamp_count(size_t n) { return static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX)); }

void check_distinct(const std::vector<hw::Component>& components) {
  std::set<hw::Ident> seen;
  for (const auto& component : components) {
    if (!seen.insert(component.ident).second) {
      throw std::invalid_argument("The NP " + hw::to_string(component.ident) +
                                  " is given twice to one layer.");
    }
  }
}

void write_data_format(std::vector<uint32_t>& image, ActivationType activation,
                       uint8_t weights_bits, uint8_t input_bits, uint8_t output_bits,
                       size_t np_count) {
  const size_t w = REGW_DATA_FORMAT;
  set(image, w, REG4_INPUT_BITS, input_bits > 7 ? kWidthCodeWide : kWidthCodeNarrow);
  set_flag(image, w, REG4_WEIGHTS_4BIT, weights_bits == 4);
  set_flag(image, w, REG4_WEIGHTS_8BIT, weights_bits == 8);
  set(image, w, REG4_WEIGHTS_BITS, weights_bits == 8 ? kWidthCodeWide : kWidthCodeNarrow);
  set(image, w, REG4_OUTPUT_BITS, output_bits < 8 ? kWidthCodeNarrow : kWidthCodeWide);
  set_flag(image, w, REG4_LINEAR_OUTPUT, activation != ActivationType::ReLU && output_bits <= 8);
  set_flag(image, w, REG4_RELU, activation == ActivationType::ReLU);
  set(image, w, REG4_NP_NUM, clamp_count(np_count));
}

void write_split(std::vector<uint32_t>& image, const NpSplitInterface& split) {
  set(image, REGW_NP_SIZE, REG8_II_SIZE, split.np_height);
  set_signed_field(&image[REGW_NP_SIZE], REG8_II_OFFSET, static_cast<int32_t>(split.in_offset_y));
  set(image, REGW_NP_SIZE, REG8_JJ_SIZE, split.np_width);
  set_signed_field(&image[REGW_NP_SIZE], REG8_JJ_OFFSET, static_cast<int32_t>(split.in_offset_x));
  static_assert(REG8_II_OFFSET.nb_bits == kOffsetBits && REG8_JJ_OFFSET.nb_bits == kOffsetBits);

  set(image, REGW_ORIGIN, REG9_I_ORIG_CUT, split.in_y);
  set_flag(image, REGW_ORIGIN, REG9_I_CONV_STRD_OFFSET,
           static_cast<int32_t>(split.stride_phase_y) > 0);
  set(image, REGW_ORIGIN, REG9_J_ORIG_CUT, split.in_x);
  set_flag(image, REGW_ORIGIN, REG9_J_CONV_STRD_OFFSET,
           static_cast<int32_t>(split.stride_phase_x) > 0);

  set(image, REGW_INPUT_SIZE, REG10_I_SIZE, split.in_height);
  set(image, REGW_INPUT_SIZE, REG10_J_SIZE, split.in_width);
  set(image, REGW_CONTAINERS, REG11_ICONT_SIZE, split.icont_size());
}

void write_kernel(std::vector<uint32_t>& image, int kernel_size, int kernel_stride,
                  bool transposed) {
  set_flag(image, REGW_KERNEL, REG20_STRIDE_2, kernel_stride == 2);
  set_flag(image, REGW_KERNEL, REG20_TRANSPOSED, transposed);
  set(image, REGW_KERNEL, REG20_RESERVED_10, 0);
  set(image, REGW_KERNEL, REG20_RESERVED_16_26, 0);
  set(image, REGW_KERNEL, REG20_KERNEL_SIZE, static_cast<uint32_t>(kernel_size));
}

void write_outputs(std::vector<uint32_t>& image, const NpSplitInterface& split,
                   uint32_t first_filter, uint32_t filter_count) {
  set(image, REGW_OUTPUT_ORIGIN, REG24_OUT_Y, split.out_y);
  set(image, REGW_OUTPUT_ORIGIN, REG24_OUT_X, split.out_x);
  set(image, REGW_OUTPUT_SIZE, REG25_OUT_HEIGHT, split.out_height);
  set(image, REGW_OUTPUT_SIZE, REG25_OUT_WIDTH, split.out_width);
  set(image, REGW_FILTERS, REG26_FIRST_FILTER, first_filter);
  set(image, REGW_FILTERS, REG26_FILTER_COUNT, filter_count);
}

void write_dual_output(std::vector<uint32_t>& image, const std::vector<hw::Component>& components,
                       const MergeLayerMapInfo& merge,
                       const std::vector<hw::Component>& stores) {
  set_flag(image, REGW_MODE, REG1_DUAL_OUTPUT, true);

  std::vector<hw::Component> all = components;
  all.insert(all.end(), stores.begin(), stores.end());
  uint32_t lo = 0;
  uint32_t hi = 0;
  if (all.size() == 1 && all.front().type == hw::Type::HRC) {
    // An HRC alone has no column of its own in the mesh: its range is fixed to column 1.
    lo = 1;
    hi = 1;
  } else if (!all.empty()) {
    const auto [min_it, max_it] = std::minmax_element(
        all.begin(), all.end(),
        [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
    lo = min_it->ident.col;
    hi = max_it->ident.col;
  }
  set(image, REGW_DUAL_OUT_RANGE, REG47_DUAL_OUT_COL_LO, lo);
  set(image, REGW_DUAL_OUT_RANGE, REG47_DUAL_OUT_COL_HI, hi);

  const size_t w = REGW_DUAL_OUT_TARGET;
  set(image, w, REG48_TARGET, merge.dual_output_target);
  // Without a store (a lone HRC feeding the merge) there is no store destination to name.
  if (stores.empty()) return;
  if (stores.size() == 1) {
    set(image, w, REG48_STORE_ROW_OR_COL_LO, stores.front().ident.row);
    set(image, w, REG48_STORE_COL_OR_COL_HI, stores.front().ident.col);
    set_flag(image, w, REG48_SINGLE_STORE, true);
  } else {
    const auto [min_it, max_it] = std::minmax_element(
        stores.begin(), stores.end(),
        [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
    set(image, w, REG48_STORE_ROW_OR_COL_LO, min_it->ident.col);
    set(image, w, REG48_STORE_COL_OR_COL_HI, max_it->ident.col);
    set_flag(image, w, REG48_SINGLE_STORE, false);
  }
  set_one_hot(image, w, REG48_STORE_ID_MASK, stores.front().ident.id);
}

void write_skip_dma(std::vector<uint32_t>& image, const std::vector<hw::Component>& components,
                    const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                    const hw::Component* skipdma_load,
                    const std::vector<hw::Component>& skipdma_stores) {
  if (!merge_info) {
    set_flag(image, REGW_SKIP_DMA, REG52_NOT_FIRST_IN_PASS, true);
    return;
  }
  const MergeLayerMapInfo& merge = *merge_info;
  set_flag(image, REGW_SKIP_DMA, REG52_NOT_FIRST_IN_PASS, merge.not_first_in_pass);
  if (skipdma_load == nullptr) throw std::runtime_error("Skip DMA load should not be null.");

  set_flag(image, REGW_SKIP_DMA, REG52_IS_ADD, merge.is_add);
  set_flag(image, REGW_SKIP_DMA, REG52_MERGE_EN, true);
  set_flag(image, REGW_SKIP_DMA, REG52_LOAD_EN, true);
  set_flag(image, REGW_SKIP_DMA, REG52_SKIP_EN, true);
  set_flag(image, REGW_SKIP_DMA, REG52_RESERVED_3, false);
  set(image, REGW_SKIP_DMA, REG52_LOAD_CHANNEL, merge.load_channel);

  const size_t w = REGW_SKIP_DMA_LOAD;
  set(image, w, REG53_LOAD_LOW, 0);
  set(image, w, REG53_LOAD_COL, skipdma_load->ident.col);
  set_flag(image, w, REG53_LOAD_ENABLE, true);
  set_flag(image, w, REG53_RESERVED_19, false);
  set_one_hot(image, w, REG53_LOAD_ID_MASK, skipdma_load->ident.id);
  set_flag(image, w, REG53_ENABLE, true);

  if (merge.dual_output) write_dual_output(image, components, merge, skipdma_stores);
}

// ---- variables ----

// The typed access panics for a wrong element type or a tensor shorter than first + count;
// reading the last element first refuses such a tensor before anything is built.
template <typename T>
void check_tensor(const Dense* tensor, uint32_t first, uint32_t count) {
  if (tensor != nullptr && count > 0) (void)tensor->at<T>(uint64_t{first} + count - 1);
}

int32_t checked_shift(int8_t value) {
  if (value < kShiftFieldMin || value > kShiftFieldMax) {
    panic("%d cannot fit in a %d-bit signed integer", static_cast<int>(value),
          static_cast<int>(kShiftFieldBits));
  }
  return value;
}

void write_filter_variables(uint32_t* a, uint32_t* b, const Dense* max_value,
                            const Dense* max_value_shift, const Dense* activation_shift,
                            const Dense* activation_scales, const Dense* output_shift,
                            const Dense* bias_shift, const Dense* bias,
                            const Dense* output_scales, size_t f) {
  if (output_scales) set_field(a, VARS_W1_OUT_SCALE, output_scales->at<uint8_t>(f));
  if (bias) set_field(a, VARS_W1_BIAS, static_cast<uint8_t>(bias->at<int8_t>(f)));
  if (bias_shift) set_field(a, VARS_W1_BIAS_SHIFT, bias_shift->at<uint8_t>(f));
  if (output_shift) set_signed_field(a, VARS_W1_OUT_SHIFT, output_shift->at<int8_t>(f));
  if (max_value_shift) set_field(a, VARS_W1_MAX_SHIFT, max_value_shift->at<uint8_t>(f));
  if (activation_shift) {
    const auto bits = static_cast<uint32_t>(checked_shift(activation_shift->at<int8_t>(f)));
    set_field(a, VARS_W1_ACT_SHIFT_LOW, bits & ((1u << kActShiftLowBits) - 1));
    set_field(b, VARS_W2_ACT_SHIFT_SIGN, (bits >> kActShiftLowBits) & 1);
  }
  if (activation_scales) set_field(b, VARS_W2_ACT_SCALE, activation_scales->at<uint8_t>(f));
  if (max_value) set_field(b, VARS_W2_MAX_VALUE, max_value->at<uint8_t>(f));
}

}  // namespace

void format_cnp_pooling_registers(std::vector<uint32_t>* regs, const Shape& shape,
                                  const NpSpace& np, uint8_t pool_size, uint8_t pool_stride,
                                  bool pool_flag, const PaddingParams& pool_padding,
                                  bool inbound_pooling_flag) {
  std::vector<uint32_t> image = working_copy(regs);
  const size_t w = REGW_POOLING;
  set(image, w, REG27_POOL_SIZE, pool_size);
  set(image, w, REG27_POOL_STRIDE, pool_stride);
  set_flag(image, w, REG27_POOL_FLAG, pool_flag);
  set_flag(image, w, REG27_RESERVED_9, false);

  // Only an NP on the layer's edge sees the pooling padding of that edge.
  const uint64_t np_right = uint64_t{np.x} + np.shape[0];
  const uint64_t np_bottom = uint64_t{np.y} + np.shape[1];
  auto padded = [](uint32_t value) { return static_cast<int32_t>(value) >= 1; };
  set_flag(image, w, REG27_PAD_LEFT, np.x == 0 && padded(pool_padding.left));
  set_flag(image, w, REG27_PAD_RIGHT, np_right == shape[0] && padded(pool_padding.right));
  set_flag(image, w, REG27_PAD_TOP, np.y == 0 && padded(pool_padding.top));
  set_flag(image, w, REG27_PAD_BOTTOM, np_bottom == shape[1] && padded(pool_padding.bottom));

  if (inbound_pooling_flag) set_flag(image, REGW_CONTROL, REG2_INBOUND_POOLING, true);
  *regs = std::move(image);
}

bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height) {
  if (params == nullptr) throw std::invalid_argument("get_no_pooling_params needs parameters.");
  *params = PoolingCalculatedParams{1, 1, width, height, PaddingParams{}, false};
  return true;
}

void format_cnp_tnp_common_config_registers(
    std::vector<uint32_t>* regs, const NpSplitInterface& split, int kernel_size, int kernel_stride,
    ActivationType activation, uint32_t first_filter, uint32_t filter_count, uint8_t weights_bits,
    const std::vector<hw::Component>& components, bool single_buffer, bool transposed,
    uint8_t input_bits, uint8_t output_bits, const std::unique_ptr<MergeLayerMapInfo>& merge_info,
    const hw::Component* skipdma_load, const std::vector<hw::Component>& skipdma_stores,
    bool output_format_flag, bool with_skip_dma) {
  std::vector<uint32_t> image = working_copy(regs);
  check_distinct(components);

  set_flag(image, REGW_MODE, REG1_RESERVED_4, false);
  set_flag(image, REGW_MODE, REG1_RESERVED_7, false);
  set_flag(image, REGW_MODE, REG1_LUT_EN, activation == ActivationType::LUT);
  set_flag(image, REGW_MODE, REG1_SINGLE_BUFFER, single_buffer);
  set_flag(image, REGW_MODE, REG1_OUTPUT_FORMAT, output_format_flag);

  write_data_format(image, activation, weights_bits, input_bits, output_bits, components.size());

  set(image, REGW_CPKSRAM, REG5_RESERVED_29_30, 0);
  set_flag(image, REGW_CPKSRAM, REG5_ENABLE, true);

  write_split(image, split);
  write_kernel(image, kernel_size, kernel_stride, transposed);
  write_outputs(image, split, first_filter, filter_count);
  if (with_skip_dma) write_skip_dma(image, components, merge_info, skipdma_load, skipdma_stores);
  *regs = std::move(image);
}

void format_skip_dma_registers(std::vector<uint32_t>* regs,
                               const std::vector<hw::Component>& components,
                               const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                               const hw::Component* skipdma_load,
                               const std::vector<hw::Component>& skipdma_stores) {
  std::vector<uint32_t> image = working_copy(regs);
  write_skip_dma(image, components, merge_info, skipdma_load, skipdma_stores);
  *regs = std::move(image);
}

uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift) {
  const uint64_t words =
      (input_shift.size() + input_shifts_per_24b_word - 1) / input_shifts_per_24b_word;
  if (words > UINT32_MAX) throw std::overflow_error("Input shift size does not fit in 32 bits.");
  return static_cast<uint32_t>(words);
}

std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift,
                                               const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift,
                                               const Dense* bias, const Dense* output_scales,
                                               uint32_t first, uint32_t count) {
  const bool relu_form = max_value != nullptr || max_value_shift != nullptr;
  const bool lut_form = activation_shift != nullptr || activation_scales != nullptr;
  if (relu_form && lut_form) {
    throw std::invalid_argument(
        "The variables max_value/max_value_shift and activation_scales/activation_shift share "
        "register bits: a layer can carry only one of the two forms.");
  }
  check_tensor<uint8_t>(max_value, first, count);
  check_tensor<uint8_t>(max_value_shift, first, count);
  check_tensor<int8_t>(activation_shift, first, count);
  check_tensor<uint8_t>(activation_scales, first, count);
  check_tensor<int8_t>(output_shift, first, count);
  check_tensor<uint8_t>(bias_shift, first, count);
  check_tensor<int8_t>(bias, first, count);
  check_tensor<uint8_t>(output_scales, first, count);

  std::vector<uint32_t> words(2 * size_t{count}, 0);
  for (uint32_t i = 0; i < count; ++i) {
    write_filter_variables(&words[2 * size_t{i}], &words[2 * size_t{i} + 1], max_value,
                           max_value_shift, activation_shift, activation_scales, output_shift,
                           bias_shift, bias, output_scales, size_t{first} + i);
  }
  return words;
}

}  // namespace qalto::v2
