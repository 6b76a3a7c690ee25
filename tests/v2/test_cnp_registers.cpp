// Shared CNP/TNP register routines: (word, field, value) facts worked out by hand, and the
// guarantee that a value too wide for its field leaves the image untouched.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "mapping/np_split.hpp"
#include "v2/cnp_registers.hpp"
#include "v2/registers.hpp"

namespace qalto::v2 {
namespace {

using Image = std::vector<uint32_t>;

// Field value of a word, for messages that name the field.
uint32_t field(const Image& image, size_t word, const RegDetail& f) {
  return (image.at(word) >> f.first_bit) & static_cast<uint32_t>((uint64_t{1} << f.nb_bits) - 1);
}

std::string describe(const Image& image, size_t word, const RegDetail& f) {
  std::ostringstream out;
  out << "word[" << word << "] bits " << f.first_bit << "-" << f.first_bit + f.nb_bits - 1
      << " = " << field(image, word, f);
  return out.str();
}

#define EXPECT_FIELD(image, word, f, value) \
  EXPECT_EQ(field(image, word, f), value) << describe(image, word, f)

void expect_panic(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no panic, expected: " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

// A split whose figures the test sets one by one.
struct FixedSplit : NpSplitInterface {
  uint32_t icont = 0;
  uint32_t icont_size() const override { return icont; }
};

FixedSplit sample_split() {
  FixedSplit s;
  s.np_height = 10;
  s.in_offset_y = static_cast<uint32_t>(-1);
  s.np_width = 12;
  s.in_offset_x = 0;
  s.in_y = 5;
  s.stride_phase_y = 1;
  s.in_x = 7;
  s.stride_phase_x = 0;
  s.in_height = 11;
  s.in_width = 13;
  s.icont = 16;
  s.out_y = 2;
  s.out_x = 3;
  s.out_height = 4;
  s.out_width = 5;
  return s;
}

hw::Component component(uint8_t col, uint8_t row, uint8_t id, hw::Type type = hw::Type::CNP2) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, row, id, 0};
  return c;
}

const std::unique_ptr<MergeLayerMapInfo> kNoMerge;

struct CommonArgs {
  FixedSplit split = sample_split();
  ActivationType activation = ActivationType::ReLU;
  uint32_t first = 100;
  uint32_t count = 50;
  uint8_t weights_bits = 4;
  std::vector<hw::Component> nps{component(2, 1, 0), component(5, 1, 1)};
  uint8_t input_bits = 8;
  uint8_t output_bits = 4;

  void apply(Image* image) const {
    format_cnp_tnp_common_config_registers(image, split, 3, 2, activation, first, count,
                                           weights_bits, nps, true, false, input_bits,
                                           output_bits, kNoMerge, nullptr, {}, true, true);
  }
};

TEST(CommonConfigRegisters, HandComputedWords) {
  Image image(64, 0);
  image[1] = 0x90;         // bits 4 and 7 must be cleared
  image[4] = 0x60000000;   // bits 29-30 must be cleared
  image[11] = 0x12345600;  // bits 8-31 kept
  image[20] = 0x07FF0400;  // bits 10 and 16-26 must be cleared
  CommonArgs().apply(&image);

  EXPECT_EQ(image[1], 0x20400000u);  // single buffer (22), output format (29)
  // 8-bit input (3), 4-bit weights (bit 3, code 2), 4-bit output (code 2), ReLU, 2 NPs.
  EXPECT_EQ(image[3], 0x0002A02Bu);
  EXPECT_FIELD(image, 3, REG4_WEIGHTS_8BIT, 0u);
  EXPECT_FIELD(image, 3, REG4_LINEAR_OUTPUT, 0u);
  EXPECT_EQ(image[4], 0x80000000u);
  EXPECT_EQ(image[8], 0x000C700Au);  // offset -1 as 3-bit two's complement: 7
  EXPECT_FIELD(image, 8, REG8_II_OFFSET, 7u);
  EXPECT_EQ(image[9], 0x00071005u);
  EXPECT_EQ(image[10], 0x000D000Bu);
  EXPECT_EQ(image[11], 0x12345610u);
  EXPECT_EQ(image[20], 0x30000100u);  // stride 2, kernel 3
  EXPECT_EQ(image[24], 0x00030002u);
  EXPECT_EQ(image[25], 0x00050004u);
  EXPECT_EQ(image[26], 0x00320064u);
  EXPECT_EQ(image[52], 0x80u);  // no merge: only "not first in pass"
}

TEST(CommonConfigRegisters, LutEightBitWidths) {
  Image image(64, 0);
  CommonArgs args;
  args.activation = ActivationType::LUT;
  args.weights_bits = 8;
  args.input_bits = 4;
  args.output_bits = 8;
  args.apply(&image);
  EXPECT_FIELD(image, 1, REG1_LUT_EN, 1u);
  EXPECT_FIELD(image, 3, REG4_INPUT_BITS, 2u);
  EXPECT_FIELD(image, 3, REG4_WEIGHTS_4BIT, 0u);
  EXPECT_FIELD(image, 3, REG4_WEIGHTS_8BIT, 1u);
  EXPECT_FIELD(image, 3, REG4_WEIGHTS_BITS, 3u);
  EXPECT_FIELD(image, 3, REG4_OUTPUT_BITS, 3u);
  EXPECT_FIELD(image, 3, REG4_LINEAR_OUTPUT, 1u);
  EXPECT_FIELD(image, 3, REG4_RELU, 0u);
}

TEST(CommonConfigRegisters, OverflowsPanicAndLeaveTheImageUnchanged) {
  const Image before(64, 0xA5A5A5A5);
  Image image = before;
  CommonArgs args;
  args.split.in_offset_y = static_cast<uint32_t>(-5);
  expect_panic([&] { args.apply(&image); }, "-5 cannot fit in a 3-bit signed integer");
  EXPECT_EQ(image, before);

  args = CommonArgs();
  args.count = 1024;
  expect_panic([&] { args.apply(&image); },
               "Attempted to write value 1024 into a 10-bit field, which will cause an overflow.");
  EXPECT_EQ(image, before);

  args = CommonArgs();
  args.nps.push_back(component(2, 1, 0));
  EXPECT_THROW(args.apply(&image), std::invalid_argument);
  EXPECT_EQ(image, before);

  Image short_image(10, 0);
  EXPECT_THROW(CommonArgs().apply(&short_image), std::invalid_argument);
}

TEST(PoolingRegisters, FieldsAndEdges) {
  const Shape input{20, 10, 4};
  const PaddingParams padding{1, 1, 1, 1};  // top, bottom, left, right
  Image left(64, 0);
  left[27] = 0x0000F200;  // bit 9 and 12-15 cleared before the edges are set
  format_cnp_pooling_registers(&left, input, NpSpace{0, 0, Shape{10, 10, 4}}, 2, 2, true, padding,
                               true);
  // size 2, stride 2, flag, left edge (13), top (15) and bottom (14) edges.
  EXPECT_EQ(left[27], 0x2 | 0x20 | 0x100 | 0x2000 | 0x8000 | 0x4000u);
  EXPECT_FIELD(left, 2, REG2_INBOUND_POOLING, 1u);

  Image right(64, 0);
  format_cnp_pooling_registers(&right, input, NpSpace{10, 0, Shape{10, 5, 4}}, 1, 1, false,
                               padding, false);
  EXPECT_FIELD(right, 27, REG27_PAD_RIGHT, 1u);
  EXPECT_FIELD(right, 27, REG27_PAD_LEFT, 0u);
  EXPECT_FIELD(right, 27, REG27_PAD_BOTTOM, 0u);  // rows 0-4 of 10: not the bottom edge
  EXPECT_FIELD(right, 2, REG2_INBOUND_POOLING, 0u);

  Image middle(64, 0);
  format_cnp_pooling_registers(&middle, Shape{30, 10, 4}, NpSpace{10, 0, Shape{10, 10, 4}}, 1, 1,
                               false, PaddingParams{0, 0, 1, 1}, false);
  EXPECT_FIELD(middle, 27, REG27_PAD_LEFT, 0u);
  EXPECT_FIELD(middle, 27, REG27_PAD_RIGHT, 0u);

  const Image before(64, 0x11111111);
  Image image = before;
  expect_panic(
      [&] {
        format_cnp_pooling_registers(&image, input, NpSpace{0, 0, Shape{10, 10, 4}}, 8, 1, false,
                                     padding, true);
      },
      "Attempted to write value 8 into a 3-bit field, which will cause an overflow.");
  EXPECT_EQ(image, before);
}

TEST(PoolingRegisters, NoPoolingParams) {
  PoolingCalculatedParams params{3, 4, 1, 1, PaddingParams{1, 2, 3, 4}, true};
  EXPECT_TRUE(get_no_pooling_params(&params, 10, 20));
  EXPECT_EQ(params.stride_x, 1);
  EXPECT_EQ(params.stride_y, 1);
  EXPECT_EQ(params.width, 10u);
  EXPECT_EQ(params.height, 20u);
  EXPECT_EQ(params.padding.top + params.padding.bottom + params.padding.left +
                params.padding.right,
            0u);
  EXPECT_FALSE(params.pooling);
}

std::unique_ptr<MergeLayerMapInfo> merge(bool dual_output) {
  auto info = std::make_unique<MergeLayerMapInfo>();
  info->is_add = true;
  info->load_channel = 5;
  info->not_first_in_pass = false;
  info->dual_output = dual_output;
  info->dual_output_target = 9;
  return info;
}

TEST(SkipDmaRegisters, MergeAndLoadFields) {
  Image image(64, 0);
  image[52] = 0x88;  // bit 3 cleared, bit 7 follows not_first_in_pass (false)
  image[53] = 0xFFFFFFFF;
  const hw::Component load = component(3, 0, 2, hw::Type::SKIP_DMA_LOAD);
  format_skip_dma_registers(&image, {component(2, 1, 0)}, merge(false), &load, {});
  EXPECT_EQ(image[52], 0x00050017u);
  // bits 0-15: column 3 and bit 0; 16-18 kept; 19 cleared; 20-23 one-hot id 2; 24-31 kept.
  EXPECT_EQ(image[53], 0xFF470301u);
  EXPECT_EQ(image[1], 0u);  // no dual output

  const Image before = image;
  try {
    format_skip_dma_registers(&image, {}, merge(false), nullptr, {});
    FAIL() << "merge without load accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Skip DMA load should not be null.");
  }
  const hw::Component high_id = component(3, 0, 4, hw::Type::SKIP_DMA_LOAD);
  expect_panic([&] { format_skip_dma_registers(&image, {}, merge(false), &high_id, {}); },
               "Attempted to write value 16 into a 4-bit field, which will cause an overflow.");
  // An id of 32 or more must not be shifted in 32 bits.
  const hw::Component huge_id = component(3, 0, 40, hw::Type::SKIP_DMA_LOAD);
  expect_panic(
      [&] { format_skip_dma_registers(&image, {}, merge(false), &huge_id, {}); },
      "Attempted to write value 1099511627776 into a 4-bit field, which will cause an overflow.");
  EXPECT_EQ(image, before);
}

TEST(SkipDmaRegisters, DualOutput) {
  const hw::Component load = component(3, 0, 0, hw::Type::SKIP_DMA_LOAD);
  Image single(64, 0);
  single[47] = 0xABCD;
  format_skip_dma_registers(&single, {component(2, 1, 0), component(5, 1, 1)}, merge(true), &load,
                            {component(7, 1, 1, hw::Type::SKIP_DMA_STORE)});
  EXPECT_FIELD(single, 1, REG1_DUAL_OUTPUT, 1u);
  EXPECT_EQ(single[47], 0x0702ABCDu);  // columns 2 to 7, bits 0-15 kept
  EXPECT_EQ(single[48], 0x09210701u);  // target 9, id mask 2, single store at (7, 1)

  Image two(64, 0);
  format_skip_dma_registers(&two, {component(4, 1, 0)}, merge(true), &load,
                            {component(6, 0, 3, hw::Type::SKIP_DMA_STORE),
                             component(1, 0, 0, hw::Type::SKIP_DMA_STORE)});
  EXPECT_EQ(two[47], 0x06010000u);
  EXPECT_EQ(two[48], 0x09800601u);  // columns 1..6, no single-store bit, mask of the first (id 3)

  Image hrc(64, 0);
  format_skip_dma_registers(&hrc, {component(0, 0, 0, hw::Type::HRC)}, merge(true), &load, {});
  EXPECT_EQ(hrc[47], 0x01010000u);
  EXPECT_EQ(hrc[48], 0x09000000u);
}

TEST(InputShiftSize, EightShiftsPerWord) {
  EXPECT_EQ(cnp_tnp_input_shift_24b_size(*Dense::create(TensorType::uint8, Shape{16})), 2u);
  EXPECT_EQ(cnp_tnp_input_shift_24b_size(*Dense::create(TensorType::uint8, Shape{17})), 3u);
  EXPECT_EQ(cnp_tnp_input_shift_24b_size(*Dense::create(TensorType::uint8, Shape{1})), 1u);
}

std::shared_ptr<Dense> vec(TensorType type, std::vector<int> values) {
  auto t = Dense::create(type, Shape{static_cast<uint32_t>(values.size())});
  for (uint32_t i = 0; i < values.size(); ++i) {
    if (type == TensorType::int8) {
      t->set<int8_t>({i}, static_cast<int8_t>(values[i]));
    } else {
      t->set<uint8_t>({i}, static_cast<uint8_t>(values[i]));
    }
  }
  return t;
}

TEST(Variables, HandComputedWords) {
  auto out_shift = vec(TensorType::int8, {-1});
  auto bias = vec(TensorType::int8, {-2});
  EXPECT_EQ(format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, out_shift.get(), nullptr,
                                     bias.get(), nullptr, 0, 1),
            (std::vector<uint32_t>{0x07E0FE00, 0}));

  // ReLU form for filters 1 and 2.
  auto max_value = vec(TensorType::uint8, {0, 200, 1});
  auto max_shift = vec(TensorType::uint8, {0, 3, 0});
  auto scales = vec(TensorType::uint8, {0, 7, 0});
  auto bias_shift = vec(TensorType::uint8, {0, 31, 0});
  EXPECT_EQ(format_cnp_tnp_variables(max_value.get(), max_shift.get(), nullptr, nullptr, nullptr,
                                     bias_shift.get(), nullptr, scales.get(), 1, 2),
            (std::vector<uint32_t>{0x181F0007, 0xC8, 0, 1}));

  // LUT form: -3 is 111101 in six bits: 11101 in word A bits 27-31, the sign in word B bit 0.
  auto act_shift = vec(TensorType::int8, {-3});
  auto act_scales = vec(TensorType::uint8, {0x81});
  EXPECT_EQ(format_cnp_tnp_variables(nullptr, nullptr, act_shift.get(), act_scales.get(), nullptr,
                                     nullptr, nullptr, nullptr, 0, 1),
            (std::vector<uint32_t>{0xE8000000, 0x103}));
  EXPECT_TRUE(format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, 0, 0)
                  .empty());
}

TEST(Variables, RefusedInputs) {
  auto call = [](const Dense* max_value, const Dense* act_shift, const Dense* act_scales,
                 const Dense* out_shift, const Dense* bias_shift, uint32_t first, uint32_t count) {
    return format_cnp_tnp_variables(max_value, nullptr, act_shift, act_scales, out_shift,
                                    bias_shift, nullptr, nullptr, first, count);
  };
  auto one = vec(TensorType::uint8, {1});
  auto shift = vec(TensorType::int8, {1});
  EXPECT_THROW(call(one.get(), nullptr, one.get(), nullptr, nullptr, 0, 1), std::invalid_argument);
  EXPECT_THROW(call(one.get(), shift.get(), nullptr, nullptr, nullptr, 0, 1),
               std::invalid_argument);

  expect_panic([&] { call(nullptr, vec(TensorType::int8, {32}).get(), nullptr, nullptr, nullptr, 0, 1); },
               "32 cannot fit in a 6-bit signed integer");
  EXPECT_NO_THROW(call(nullptr, vec(TensorType::int8, {-32}).get(), nullptr, nullptr, nullptr, 0, 1));
  expect_panic([&] { call(nullptr, nullptr, nullptr, vec(TensorType::int8, {-33}).get(), nullptr, 0, 1); },
               "-33 cannot fit in a 6-bit signed integer");
  expect_panic(
      [&] { call(nullptr, nullptr, nullptr, nullptr, vec(TensorType::uint8, {32}).get(), 0, 1); },
      "Attempted to write value 32 into a 5-bit field, which will cause an overflow.");
  // Wrong element type and a tensor shorter than first + count.
  EXPECT_THROW(call(shift.get(), nullptr, nullptr, nullptr, nullptr, 0, 1), std::runtime_error);
  EXPECT_THROW(call(vec(TensorType::uint8, {1, 2}).get(), nullptr, nullptr, nullptr, nullptr, 1, 2),
               std::runtime_error);
}

}  // namespace
}  // namespace qalto::v2
