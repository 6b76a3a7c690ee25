// v2 CNP layer programs: register images worked out by hand, how filters and channels are cut
// over NPs, the blocks each NP gets, the recording flags, and the overflow messages a user sees.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "mapping/layer_mapping_builder.hpp"
#include "program/record.hpp"
#include "qalto/device.hpp"
#include "qalto/dma.hpp"
#include "qalto/model.hpp"
#include "support/register_print.hpp"
#include "v2/cnp_recorder.hpp"
#include "v2/cnp_registers.hpp"
#include "v2/np_registers.hpp"
#include "v2/registers.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {
namespace {

using qalto::testing::field_equals;
using Image = std::vector<uint32_t>;
using Params = std::map<std::string, int32_t>;

const hw::Ident kDmaEvent{0, 0, 0, 0};
const hw::Ident kNpA{1, 2, 0, 0};
const hw::Ident kNpB{1, 2, 1, 0};
const hw::Ident kStore{3, 0, 0, 0};
const hw::Ident kLoad{4, 0, 1, 0};

std::shared_ptr<Device> v2_device() {
  return make_virtual_device(HwVersion::FPGA_v2,
                             Mesh(IpVersion::v2, kDmaEvent, kDmaEvent, std::nullopt, {}, {}));
}

NpSpace space(uint32_t x, uint32_t y, const Shape& shape) { return NpSpace{x, y, shape}; }

hw::Component cnp(const hw::Ident& ident, uint32_t first, uint32_t count, const NpSpace& own,
                  const NpSpace& input, bool single_buffer = false) {
  hw::Component c;
  c.type = hw::Type::CNP2;
  c.ident = ident;
  c.np_part = hw::NpPart{first, count, own, input, single_buffer};
  return c;
}

hw::Component plain(hw::Type type, const hw::Ident& ident) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return c;
}

// input (InputData) -> layer, mapped as one pass on the NPs given.
struct OneLayer {
  Model model;
  std::shared_ptr<Layer> input;
  std::shared_ptr<Layer> layer;

  OneLayer(LayerType type, const Params& params, const Shape& in, const std::string& name = "cnp") {
    input = Layer::create(LayerParams(LayerType::InputData,
                                      {{"input_width", static_cast<int32_t>(in[0])},
                                       {"input_height", static_cast<int32_t>(in[1])},
                                       {"input_channels", static_cast<int32_t>(in[2])},
                                       {"input_bits", 8}}),
                          name + "_input");
    model.add(input);
    layer = Layer::create(LayerParams(type, params), name);
    model.add(layer, {input});
  }

  void map(const ComponentList& components) {
    LayerMappingBuilder::build_layer_mapping(model.layers(), model.layers(), {{}, components},
                                             kDmaEvent);
  }
  LayerMapping& mapping() { return *layer_mapping_of(*layer); }
  Dense& var(const char* name) { return *layer->variables().get(name); }
};

// A Conv2D on an 8x8x4 input: kernel 3, Same padding, ReLU, 8-bit everything.
OneLayer conv8x8(int32_t filters = 8) {
  return OneLayer(LayerType::Conv2D, {{"filters", filters}, {"kernel_size", 3}},
                  Shape{8, 8, 4});
}

const NpSpace kWhole = space(0, 0, Shape{8, 8, 4});

struct Block {
  hw::Ident ident;
  uint32_t target;
  std::vector<uint32_t> payload;
};

// The blocks of a record, read back through the header decoder.
std::vector<Block> blocks_of(const program::Record& record) {
  std::vector<Block> blocks;
  for (const auto& track : record.tracks) {
    const auto& w = track.words();
    size_t i = 0;
    while (i + program::kHeaderWords <= w.size()) {
      const dma::ConfigHeader h = dma::decode_config_header(&w[i]);
      i += program::kHeaderWords;
      EXPECT_LE(i + h.length, w.size());
      blocks.push_back({h.ident, h.target, {w.begin() + i, w.begin() + i + h.length}});
      i += h.length;
    }
  }
  return blocks;
}

std::vector<uint32_t> targets_of(const std::vector<Block>& blocks) {
  std::vector<uint32_t> targets;
  for (const auto& b : blocks) targets.push_back(b.target);
  return targets;
}

struct Flags {
  bool ib_spikes = false;
  bool partial_reconfig = false;
  bool registers_only = false;
  bool output_format_flag = false;
};

using Recorder = program::RecordPtr (*)(const Device&, const Layer&,
                                        const std::shared_ptr<Layer>&, bool, bool,
                                        const std::vector<hw::Ident>&, bool, bool);

program::RecordPtr record(Recorder recorder, const Layer& layer, Flags f = {},
                          const std::vector<hw::Ident>& skip = {},
                          const std::shared_ptr<Layer>& next = nullptr) {
  return recorder(*v2_device(), layer, next, f.ib_spikes, f.partial_reconfig, skip,
                  f.registers_only, f.output_format_flag);
}

RegisterMap images(const Layer& layer, Flags f = {}, const std::vector<hw::Ident>& skip = {},
                   const std::shared_ptr<Layer>& next = nullptr) {
  return format_cnp_layer_registers(layer, next, f.ib_spikes, f.partial_reconfig, skip,
                                    f.registers_only, f.output_format_flag);
}

void expect_error(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

std::string overflow(uint64_t value, int bits) {
  return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(bits) +
         "-bit field, which will cause an overflow.";
}

// ---------------------------------------------------------------------------------------------
// One NP, worked out by hand.

TEST(Conv2dRecorder, OneNpImageFieldByField) {
  OneLayer net = conv8x8();
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  ASSERT_EQ(net.mapping().layer_id, 1);
  const RegisterMap map = images(*net.layer);
  ASSERT_EQ(map.size(), 1u);
  const Image& img = map.at(kNpA);
  ASSERT_EQ(img.size(), NP_REGISTER_WORDS);

  // Word 3: 8-bit input (3), 8-bit weights (bit 7, code 3), 8-bit output (3), ReLU, one NP,
  // layer 1 in the top byte.
  EXPECT_TRUE(field_equals(img, 3, REG4_INPUT_BITS, 3));
  EXPECT_TRUE(field_equals(img, 3, REG4_WEIGHTS_4BIT, 0));
  EXPECT_TRUE(field_equals(img, 3, REG4_WEIGHTS_8BIT, 1));
  EXPECT_TRUE(field_equals(img, 3, REG4_WEIGHTS_BITS, 3));
  EXPECT_TRUE(field_equals(img, 3, REG4_OUTPUT_BITS, 3));
  EXPECT_TRUE(field_equals(img, 3, REG4_LINEAR_OUTPUT, 0));
  EXPECT_TRUE(field_equals(img, 3, REG4_RELU, 1));
  EXPECT_TRUE(field_equals(img, 3, REG4_NP_NUM, 1));
  EXPECT_TRUE(field_equals(img, 3, NPREG_NP_INDEX, 1));
  EXPECT_TRUE(field_equals(img, 3, REG4_DEPTHWISE, 0));
  // 8x8 own region and input region at the origin; Same padding of a 3-kernel: no offsets.
  EXPECT_TRUE(field_equals(img, 8, REG8_II_SIZE, 8));
  EXPECT_TRUE(field_equals(img, 8, REG8_JJ_SIZE, 8));
  EXPECT_TRUE(field_equals(img, 10, REG10_I_SIZE, 8));
  EXPECT_TRUE(field_equals(img, 10, REG10_J_SIZE, 8));
  EXPECT_TRUE(field_equals(img, 11, REG11_ICONT_SIZE, 8));
  // Eight filters, kernel 3, 8 bits: one group of 6 weight words per input channel.
  EXPECT_TRUE(field_equals(img, 11, REG11_CHCONT_SIZE, 6));
  EXPECT_TRUE(field_equals(img, 20, REG20_KERNEL_SIZE, 3));
  EXPECT_TRUE(field_equals(img, 20, REG20_STRIDE_2, 0));
  EXPECT_TRUE(field_equals(img, 21, CNP2_TF_TOTAL, 8));
  EXPECT_TRUE(field_equals(img, 25, REG25_OUT_HEIGHT, 8));
  EXPECT_TRUE(field_equals(img, 25, REG25_OUT_WIDTH, 8));
  EXPECT_TRUE(field_equals(img, 26, REG26_FIRST_FILTER, 0));
  EXPECT_TRUE(field_equals(img, 26, REG26_FILTER_COUNT, 8));
  // Rows of 8 bytes; 4 channels of them are 8 words; 8 rows take 64 words.
  EXPECT_TRUE(field_equals(img, 4, REG5_CPKSRAM_SIZE, 64));
  EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_CHCONT_SIZE, 8));
  EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_ROW_WORDS, 8));
  EXPECT_TRUE(field_equals(img, 29, CNP9_FILTER_GROUPS, 1));
  // No pooling: size and stride 1.
  EXPECT_TRUE(field_equals(img, 27, REG27_POOL_SIZE, 1));
  EXPECT_TRUE(field_equals(img, 27, REG27_POOL_STRIDE, 1));

  // And nothing else: the whole image, word by word.
  Image expected(NP_REGISTER_WORDS, 0);
  expected[1] = 0x20;
  expected[2] = 0x8;
  expected[3] = 0x0101B0B3;
  expected[4] = 0x80000040;
  expected[5] = 0x00130100;
  expected[6] = 0x08040000;
  expected[8] = 0x00080008;
  expected[10] = 0x00080008;
  expected[11] = 0x00006008;
  expected[12] = 0x52000000;
  expected[13] = 0x10;
  expected[20] = 0x30000000;
  expected[21] = 8;
  expected[25] = 0x00080008;
  expected[26] = 0x00080000;
  expected[27] = 0x11;
  expected[28] = 0x00080008;
  expected[29] = 0x00010000;
  expected[37] = 0xFF000000;
  expected[52] = 0x80;
  expected[56] = 0x00800000;
  expected[57] = 0x40;
  for (size_t w = 0; w < NP_REGISTER_WORDS; ++w) {
    EXPECT_EQ(img[w], expected[w]) << "word[" << w << "]";
  }
}

TEST(Conv2dRecorder, OneNpBlocksInOrder) {
  OneLayer net = conv8x8();
  for (uint32_t f = 0; f < 8; ++f) net.var("bias").set<int8_t>({f}, static_cast<int8_t>(f + 1));
  for (uint32_t c = 0; c < 4; ++c) net.var("input_shift").set<uint8_t>({c}, c + 1);
  net.var("weights").set<int8_t>({2, 1, 3, 7}, 5);
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});

  auto rec = record(record_program_conv2d_layer, *net.layer);
  EXPECT_EQ(rec->version, HwVersion::FPGA_v2);
  const auto blocks = blocks_of(*rec);
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5}));
  for (const auto& b : blocks) EXPECT_EQ(b.ident, kNpA);
  EXPECT_EQ(blocks[0].payload, images(*net.layer).at(kNpA));
  // Weights: 4 channel containers of 6 words of 3 words each; (x 2, y 1, c 3, f 7) lands in
  // container 3, row 1, filter 7: byte 24 + 21 + 2 = 47 of the container.
  ASSERT_EQ(blocks[1].payload.size(), 4u * 18u);
  EXPECT_EQ(blocks[1].payload[3 * 18 + 47 / 4], 5u << (8 * (47 % 4)));
  // Input shifts, four per word, padded to two words.
  EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{0x04030201, 0}));
  // Variables: two words per filter, bias in bits 8-15 of the first.
  ASSERT_EQ(blocks[3].payload.size(), 16u);
  for (uint32_t f = 0; f < 8; ++f) EXPECT_EQ((blocks[3].payload[2 * f] >> 8) & 0xFF, f + 1);
}

// ---------------------------------------------------------------------------------------------
// Cuts over two NPs.

TEST(Conv2dRecorder, TwoNpFilterSplit) {
  OneLayer net = conv8x8(16);
  for (uint32_t f = 0; f < 16; ++f) {
    net.var("bias").set<int8_t>({f}, static_cast<int8_t>(f + 1));
    net.var("weights").set<int8_t>({0, 0, 0, f}, static_cast<int8_t>(f + 1));
  }
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole), cnp(kNpB, 8, 8, kWhole, kWhole)});

  const RegisterMap map = images(*net.layer);
  ASSERT_EQ(map.size(), 2u);
  for (const auto& [ident, img] : map) {
    EXPECT_TRUE(field_equals(img, 3, REG4_NP_NUM, 2));
    EXPECT_TRUE(field_equals(img, 26, REG26_FILTER_COUNT, 8));
    EXPECT_TRUE(field_equals(img, 21, CNP2_TF_TOTAL, 8));
  }
  EXPECT_TRUE(field_equals(map.at(kNpA), 26, REG26_FIRST_FILTER, 0));
  EXPECT_TRUE(field_equals(map.at(kNpB), 26, REG26_FIRST_FILTER, 8));

  const auto blocks = blocks_of(*record(record_program_conv2d_layer, *net.layer));
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5}));
  EXPECT_EQ(blocks[0].ident, kNpA);
  EXPECT_EQ(blocks[4].ident, kNpB);
  // Each NP gets its own filters' weights: (0, 0, 0, f) is byte j of the first group.
  for (uint32_t j = 0; j < 8; ++j) {
    EXPECT_EQ((blocks[1].payload[j * 3 / 4] >> (8 * (j * 3 % 4))) & 0xFF, j + 1);
    EXPECT_EQ((blocks[5].payload[j * 3 / 4] >> (8 * (j * 3 % 4))) & 0xFF, j + 9);
  }
  // Both get every input channel's shift; each its own filters' variables.
  EXPECT_EQ(blocks[2].payload, blocks[6].payload);
  for (uint32_t f = 0; f < 8; ++f) {
    EXPECT_EQ((blocks[3].payload[2 * f] >> 8) & 0xFF, f + 1);
    EXPECT_EQ((blocks[7].payload[2 * f] >> 8) & 0xFF, f + 9);
  }
}

TEST(Conv2dRecorder, SramShiftMovesTheRegisterFilterOriginButNotTheData) {
  OneLayer net = conv8x8(16);
  for (uint32_t f = 0; f < 16; ++f) net.var("bias").set<int8_t>({f}, static_cast<int8_t>(f + 1));
  net.map({cnp(kNpA, 8, 8, kWhole, kWhole)});
  net.mapping().sram_shift = std::make_unique<uint32_t>(16);
  EXPECT_TRUE(field_equals(images(*net.layer).at(kNpA), 26, REG26_FIRST_FILTER, 24));
  const auto blocks = blocks_of(*record(record_program_conv2d_layer, *net.layer));
  EXPECT_EQ((blocks[3].payload[0] >> 8) & 0xFF, 9u);  // filter 8, not 24
}

const Shape kDwInput{8, 8, 4};
const NpSpace kDwLow = space(0, 0, Shape{8, 8, 2});

OneLayer depthwise(LayerType type = LayerType::DepthwiseConv2D, Params params = {}) {
  params.emplace("kernel_size", 3);
  return OneLayer(type, params, kDwInput);
}

TEST(DepthwiseRecorder, TwoNpChannelSplit) {
  OneLayer net = depthwise();
  for (uint32_t c = 0; c < 4; ++c) {
    net.var("input_shift").set<uint8_t>({c}, 10 + c);
    net.var("bias").set<int8_t>({c}, static_cast<int8_t>(c + 1));
    net.var("weights").set<int8_t>({1, 1, 0, c}, static_cast<int8_t>(c + 20));
  }
  net.map({cnp(kNpA, 0, 2, kDwLow, kDwLow), cnp(kNpB, 2, 2, kDwLow, kDwLow)});

  const RegisterMap map = images(*net.layer);
  for (const auto& [ident, img] : map) {
    EXPECT_TRUE(field_equals(img, 3, REG4_DEPTHWISE, 1));
    EXPECT_TRUE(field_equals(img, 3, REG4_IB_CH_GRP_EN, 1));
    EXPECT_TRUE(field_equals(img, 22, CNP3_CH_SIZE_CUT, 2));
    EXPECT_TRUE(field_equals(img, 11, REG11_CHCONT_SIZE, 2));  // one word per channel
    // 8-pixel rows of 8 bits are 2 words; 8 rows of them, 4 bytes a word.
    EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_CHCONT_SIZE, 64));
    EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_ROW_WORDS, 2));
    EXPECT_TRUE(field_equals(img, 29, CNP9_FILTER_GROUPS, 1));
    // 8 rows of 2 channels of 8-byte rows: 8 x 4 words.
    EXPECT_TRUE(field_equals(img, 4, REG5_CPKSRAM_SIZE, 32));
    EXPECT_TRUE(field_equals(img, 21, CNP2_TF_TOTAL, 0));  // a Conv2D field, not written
  }
  EXPECT_TRUE(field_equals(map.at(kNpA), 22, CNP3_CH_ORIG_CUT, 0));
  EXPECT_TRUE(field_equals(map.at(kNpB), 22, CNP3_CH_ORIG_CUT, 2));

  const auto blocks = blocks_of(*record(record_program_dwconv2d_layer, *net.layer));
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5}));
  // Kernel 3: centre weight at byte 4 of each 12-byte channel.
  EXPECT_EQ(blocks[1].payload, (std::vector<uint32_t>{0, 20u, 0, 0, 21u, 0}));
  EXPECT_EQ(blocks[5].payload, (std::vector<uint32_t>{0, 22u, 0, 0, 23u, 0}));
  // Each NP its own channels' shifts and variables.
  EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{10 | 11 << 8, 0}));
  EXPECT_EQ(blocks[6].payload, (std::vector<uint32_t>{12 | 13 << 8, 0}));
  EXPECT_EQ((blocks[7].payload[0] >> 8) & 0xFF, 3u);
  EXPECT_EQ((blocks[7].payload[2] >> 8) & 0xFF, 4u);
}

TEST(DepthwiseRecorder, AnNpWithEveryChannelIsNotCut) {
  OneLayer net = depthwise();
  net.map({cnp(kNpA, 0, 4, kWhole, kWhole)});
  const Image img = images(*net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 3, REG4_IB_CH_GRP_EN, 0));
  EXPECT_EQ(img[REGW_CHANNEL_CUT], 0u);
  EXPECT_TRUE(field_equals(img, 3, REG4_DEPTHWISE, 1));
}

TEST(TransposedRecorders, ProgrammedWithoutPoolingStrideOneAndEightBitImages) {
  // Pooling parameters on the layer are ignored by the transposed NP.
  OneLayer net(LayerType::Conv2DTranspose,
               {{"filters", 8}, {"kernel_size", 4}, {"pool_type", 1}, {"pool_size", 2}},
               Shape{8, 8, 4});
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  const Image img = images(*net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 20, REG20_TRANSPOSED, 1));
  EXPECT_TRUE(field_equals(img, 20, REG20_STRIDE_2, 0));
  EXPECT_TRUE(field_equals(img, 20, REG20_KERNEL_SIZE, 4));
  EXPECT_TRUE(field_equals(img, 27, REG27_POOL_SIZE, 1));
  EXPECT_TRUE(field_equals(img, 27, REG27_POOL_STRIDE, 1));
  EXPECT_TRUE(field_equals(img, 3, REG4_WEIGHTS_BITS, 3));
  EXPECT_TRUE(field_equals(img, 11, REG11_CHCONT_SIZE, 12));  // kernel 4: 12 words per group
  // The NP produces twice its own region.
  EXPECT_TRUE(field_equals(img, 25, REG25_OUT_HEIGHT, 16));
  EXPECT_TRUE(field_equals(img, 25, REG25_OUT_WIDTH, 16));
  EXPECT_TRUE(field_equals(img, 11, REG11_ICONT_SIZE, 16));
  const auto blocks = blocks_of(*record(record_program_transposed_conv2d_layer, *net.layer));
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5}));
  EXPECT_EQ(blocks[1].payload.size(), 4u * 12u * 3u);

  OneLayer dw = depthwise(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}});
  dw.map({cnp(kNpA, 0, 2, kDwLow, kDwLow), cnp(kNpB, 2, 2, kDwLow, kDwLow)});
  const RegisterMap dw_map = images(*dw.layer);
  EXPECT_TRUE(field_equals(dw_map.at(kNpB), 22, CNP3_CH_ORIG_CUT, 2));
  EXPECT_TRUE(field_equals(dw_map.at(kNpB), 20, REG20_TRANSPOSED, 1));
  EXPECT_TRUE(field_equals(dw_map.at(kNpB), 11, REG11_CHCONT_SIZE, 4));  // kernel 4: 2N
  const auto dw_blocks = blocks_of(*record(record_program_transposed_dwconv2d_layer, *dw.layer));
  EXPECT_EQ(targets_of(dw_blocks), (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5}));
}

TEST(CnpRecorders, EachEntryPointTakesOnlyItsOwnLayerType) {
  OneLayer dw = depthwise();
  dw.map({cnp(kNpA, 0, 4, kWhole, kWhole)});
  const std::string message = "Invalid layer type for CNP recording.";
  expect_error([&] { record(record_program_conv2d_layer, *dw.layer); }, message);
  expect_error([&] { record(record_program_transposed_dwconv2d_layer, *dw.layer); }, message);
  OneLayer conv = conv8x8();
  conv.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  expect_error([&] { record(record_program_dwconv2d_layer, *conv.layer); }, message);
  expect_error([&] { record(record_program_transposed_conv2d_layer, *conv.layer); }, message);
}

// ---------------------------------------------------------------------------------------------
// Flags.

TEST(CnpRecorderFlags, SpikesAndOutputFormatBits) {
  OneLayer net = conv8x8();
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  const Image off = images(*net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(off, 2, NPREG_IB_SPIKES, 0));
  EXPECT_TRUE(field_equals(off, 1, REG1_OUTPUT_FORMAT, 0));
  Flags f;
  f.ib_spikes = true;
  f.output_format_flag = true;
  const Image on = images(*net.layer, f).at(kNpA);
  EXPECT_TRUE(field_equals(on, 2, NPREG_IB_SPIKES, 1));
  EXPECT_TRUE(field_equals(on, 1, REG1_OUTPUT_FORMAT, 1));
  // Nothing else moves.
  Image masked = on;
  masked[2] &= ~(1u << 7);
  masked[1] &= ~(1u << 29);
  EXPECT_EQ(masked, off);
}

TEST(CnpRecorderFlags, RegistersOnlyNeverReadsTheLayerData) {
  OneLayer net = conv8x8();
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole), cnp(kNpB, 0, 8, kWhole, kWhole)});
  net.mapping().skipdma_stores.push_back(plain(hw::Type::SKIP_DMA_STORE, kStore));
  net.mapping().skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
  // Weights and shifts that cannot be formatted: only a program with data reads them.
  net.layer->variables().declare("weights", Dense::create(TensorType::float32, Shape{1}));
  net.layer->variables().declare("input_shift", Dense::create(TensorType::int32, Shape{1}));

  Flags f;
  f.registers_only = true;
  const auto blocks = blocks_of(*record(record_program_conv2d_layer, *net.layer, f));
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 7}));
  for (const auto& b : blocks) {
    EXPECT_TRUE(field_equals(b.payload, 3, NPREG_NP_INDEX, NPREG_REGISTERS_ONLY_INDEX));
    // The common configuration writes no skip-DMA fields for a register-only program.
    EXPECT_EQ(b.payload[REGW_SKIP_DMA], 0u);
  }
  EXPECT_THROW(record(record_program_conv2d_layer, *net.layer), std::exception);
}

// A register-only Conv2D program still takes the weights' DMA target from their kernel size,
// so weights no CNP layout takes are refused there too; a depthwise layer takes its target only
// for weights it sends.
TEST(CnpRecorderFlags, RegistersOnlyConvStillTakesTheWeightsTarget) {
  Flags f;
  f.registers_only = true;
  const auto kernel2 = Dense::create(TensorType::int8, Shape{2, 2, 4, 8});
  for (LayerType type : {LayerType::Conv2D, LayerType::Conv2DTranspose}) {
    OneLayer net(type, {{"filters", 8}, {"kernel_size", 3}}, Shape{8, 8, 4});
    net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
    net.layer->variables().declare("weights", kernel2);
    const Recorder recorder = type == LayerType::Conv2D ? record_program_conv2d_layer
                                                        : record_program_transposed_conv2d_layer;
    expect_error([&] { record(recorder, *net.layer, f); },
                 "cnp_weight_format: Unexpected kernel size.");
    // Even with every NP skipped: the target belongs to the layer, not to an NP.
    expect_error([&] { record(recorder, *net.layer, f, {kNpA}); },
                 "cnp_weight_format: Unexpected kernel size.");
    // 4-bit weights go to target 0 whatever their kernel.
    net.layer->params().set("weights_bits", 4);
    EXPECT_EQ(targets_of(blocks_of(*record(recorder, *net.layer, f))),
              (std::vector<uint32_t>{7}));
  }
  OneLayer dw(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, Shape{8, 8, 4});
  dw.map({cnp(kNpA, 0, 4, kWhole, kWhole)});
  dw.layer->variables().declare("weights", Dense::create(TensorType::int8, Shape{2, 2, 1, 4}));
  EXPECT_EQ(targets_of(blocks_of(*record(record_program_dwconv2d_layer, *dw.layer, f))),
            (std::vector<uint32_t>{7}));
}

TEST(CnpRecorderFlags, SkipListAndSkipDmaTracks) {
  OneLayer net = conv8x8();
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole), cnp(kNpB, 0, 8, kWhole, kWhole)});
  net.mapping().skipdma_stores.push_back(plain(hw::Type::SKIP_DMA_STORE, kStore));
  net.mapping().skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();

  auto blocks = blocks_of(*record(record_program_conv2d_layer, *net.layer, {}, {kNpA}));
  ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5, 11}));
  EXPECT_EQ(blocks[0].ident, kNpB);
  EXPECT_EQ(blocks[4].ident, kStore);
  // Every NP skipped: only the skip-DMA program, or nothing at all with registers only.
  blocks = blocks_of(*record(record_program_conv2d_layer, *net.layer, {}, {kNpA, kNpB}));
  EXPECT_EQ(targets_of(blocks), (std::vector<uint32_t>{11}));
  Flags f;
  f.registers_only = true;
  EXPECT_EQ(record(record_program_conv2d_layer, *net.layer, f, {kNpA, kNpB})->track_count(), 0u);
  // The skip identifier must match all four bytes.
  hw::Ident other_channel = kNpA;
  other_channel.channel = 1;
  EXPECT_EQ(images(*net.layer, {}, {other_channel}).size(), 2u);
}

TEST(CnpRecorderFlags, NextLayerOnTheSameNpGetsPartialReconfiguration) {
  OneLayer net = conv8x8();
  net.map({cnp(kNpA, 0, 8, kWhole, kWhole), cnp(kNpB, 0, 8, kWhole, kWhole)});
  // The next pass's layer runs on NP B only, with a padding the reconfiguration refuses: the
  // refusal shows that B, and only B, is reconfigured for it.
  OneLayer next(LayerType::Conv2D, {{"filters", 4}, {"padding", 0}}, Shape{8, 8, 4}, "next");
  next.map({cnp(kNpB, 0, 4, kWhole, kWhole)});
  Flags f;
  f.partial_reconfig = true;
  expect_error([&] { images(*net.layer, f, {}, next.layer); }, "Unsupported padding.");
  EXPECT_EQ(images(*net.layer, f, {kNpB}, next.layer).size(), 1u);
  next.layer->params().set("padding", 1);
  EXPECT_EQ(images(*net.layer, f, {}, next.layer).size(), 2u);
  // A next layer without a mapping cannot be checked for shared NPs.
  next.layer->set_mapping(nullptr);
  expect_error([&] { images(*net.layer, f, {}, next.layer); },
               "Cannot map layer 'next'. The layer has no mapping.");
}

// ---------------------------------------------------------------------------------------------
// Optional blocks: look-up table and merge shifts.

TEST(CnpRecorderBlocks, LookUpTableOnlyForALookUpTableActivation) {
  OneLayer lut(LayerType::Conv2D, {{"filters", 8}, {"activation", 2}}, Shape{8, 8, 4});
  lut.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  EXPECT_TRUE(field_equals(images(*lut.layer).at(kNpA), 1, REG1_LUT_EN, 1));
  EXPECT_EQ(targets_of(blocks_of(*record(record_program_conv2d_layer, *lut.layer))),
            (std::vector<uint32_t>{7, 1, 2, 5, 12}));
  // A table of the wrong size is refused by the table formatter.
  lut.layer->variables().declare("lut_values", Dense::create(TensorType::int8, Shape{10}));
  expect_error([&] { record(record_program_conv2d_layer, *lut.layer); }, "Wrong size for LUT.");
}

struct MergeLayer {
  OneLayer net = depthwise();
  std::shared_ptr<Dense> a = Dense::create(TensorType::uint8, Shape{4});
  std::shared_ptr<Dense> b = Dense::create(TensorType::uint8, Shape{4});
  std::shared_ptr<Dense> out = Dense::create(TensorType::int8, Shape{4});

  explicit MergeLayer(bool is_add) {
    net.map({cnp(kNpA, 0, 2, kDwLow, kDwLow), cnp(kNpB, 2, 2, kDwLow, kDwLow)});
    LayerMapping& m = net.mapping();
    m.merge_info = std::make_unique<MergeLayerMapInfo>();
    m.merge_info->is_add = is_add;
    m.merge_info->load_channel = 5;
    m.merge_info->first_shift = a;
    m.merge_info->second_shift = b;
    m.merge_info->output_shift = out;
    m.skipdma_loads.push_back(plain(hw::Type::SKIP_DMA_LOAD, kLoad));
    m.skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
  }
};

TEST(CnpRecorderBlocks, MergeShiftOnlyForAnAddMerge) {
  MergeLayer add(true);
  const RegisterMap map = images(*add.net.layer);
  for (const auto& [ident, img] : map) {
    EXPECT_TRUE(field_equals(img, NPREG_WORD_ROUTING, NPREG_MERGE, 1));
    EXPECT_TRUE(field_equals(img, 52, REG52_IS_ADD, 1));
    EXPECT_TRUE(field_equals(img, 52, REG52_LOAD_CHANNEL, 5));
    EXPECT_TRUE(field_equals(img, 53, REG53_LOAD_COL, 4));
    EXPECT_TRUE(field_equals(img, 53, REG53_LOAD_ID_MASK, 2));
  }
  EXPECT_EQ(targets_of(blocks_of(*record(record_program_dwconv2d_layer, *add.net.layer))),
            (std::vector<uint32_t>{7, 1, 2, 5, 10, 7, 1, 2, 5, 10, 11}));
  // The shifts of each NP's own channels are checked: a bad one on channel 3 stops NP B.
  add.a->set<uint8_t>({3}, 40);
  EXPECT_THROW(record(record_program_dwconv2d_layer, *add.net.layer), std::runtime_error);

  MergeLayer concat(false);
  EXPECT_TRUE(field_equals(images(*concat.net.layer).at(kNpA), NPREG_WORD_ROUTING, NPREG_MERGE,
                           0));
  EXPECT_EQ(targets_of(blocks_of(*record(record_program_dwconv2d_layer, *concat.net.layer))),
            (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5, 11}));
}

TEST(CnpRecorderBlocks, DualOutputStoreOnlyWhenTheLayerHasOne) {
  MergeLayer merge(true);
  LayerMapping& m = merge.net.mapping();
  m.merge_info->dual_output = true;
  m.merge_info->dual_output_target = 9;
  // No dual-output store: the NP names its ordinary outputs (the DMA endpoint in column 0,
  // identifier id 0); no store is looked up that the layer does not have.
  m.dual_output_store = true;
  Image img = images(*merge.net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 1, REG1_DUAL_OUTPUT, 1));
  EXPECT_TRUE(field_equals(img, 47, REG47_DUAL_OUT_COL_LO, 0));
  EXPECT_TRUE(field_equals(img, 47, REG47_DUAL_OUT_COL_HI, 1));
  EXPECT_TRUE(field_equals(img, 48, REG48_TARGET, 9));
  EXPECT_TRUE(field_equals(img, 48, REG48_SINGLE_STORE, 1));
  EXPECT_TRUE(field_equals(img, 48, REG48_STORE_COL_OR_COL_HI, 0));
  EXPECT_TRUE(field_equals(img, 48, REG48_STORE_ID_MASK, 1));
  // With its dual-output store (column 3, id 0) that store alone is named.
  m.skipdma_stores.push_back(plain(hw::Type::SKIP_DMA_STORE, kStore));
  img = images(*merge.net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 47, REG47_DUAL_OUT_COL_LO, 1));
  EXPECT_TRUE(field_equals(img, 47, REG47_DUAL_OUT_COL_HI, 3));
  EXPECT_TRUE(field_equals(img, 48, REG48_STORE_COL_OR_COL_HI, 3));
  EXPECT_TRUE(field_equals(img, 48, REG48_SINGLE_STORE, 1));
}

TEST(CnpRecorderBlocks, InboundMaxPoolingWithoutActivation) {
  // A first inbound layer that max-pools without activation hands its pooling to this layer.
  Model model;
  auto input = Layer::create(LayerParams(LayerType::InputData, {{"input_width", 16},
                                                                {"input_height", 16},
                                                                {"input_channels", 4}}),
                             "input");
  auto pool = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 4},
                                                            {"activation", 0},
                                                            {"pool_type", 1},
                                                            {"pool_size", 2}}),
                            "pool");
  auto after = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 8}}), "after");
  model.add(input);
  model.add(pool, {input});
  model.add(after, {pool});
  LayerMappingBuilder::build_layer_mapping(
      model.layers(), model.layers(),
      {{}, {cnp(kNpB, 0, 4, space(0, 0, Shape{16, 16, 4}), space(0, 0, Shape{16, 16, 4}))},
       {cnp(kNpA, 0, 8, kWhole, kWhole)}},
      kDmaEvent);
  EXPECT_TRUE(field_equals(images(*after).at(kNpA), 2, REG2_INBOUND_POOLING, 1));
  pool->params().set("activation", 1);
  EXPECT_TRUE(field_equals(images(*after).at(kNpA), 2, REG2_INBOUND_POOLING, 0));

  // A layer without inbound layers has no inbound pooling to take over.
  auto alone = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 8}}), "alone");
  alone->build({Shape{8, 8, 4}});
  LayerMappingBuilder::map_standalone(alone, {cnp(kNpA, 0, 8, kWhole, kWhole)}, 1, std::nullopt,
                                      std::nullopt);
  EXPECT_TRUE(field_equals(images(*alone).at(kNpA), 2, REG2_INBOUND_POOLING, 0));
  EXPECT_EQ(targets_of(blocks_of(*record(record_program_conv2d_layer, *alone))),
            (std::vector<uint32_t>{7, 1, 2, 5}));
}

// ---------------------------------------------------------------------------------------------
// Overflows. Word 26 (first filter 11 bits, filter count 10 bits) is written by the common
// configuration before the kind's own fields, so its message is the one a user sees.

TEST(CnpRecorderOverflow, FilterCountsPastTheFilterField) {
  OneLayer net = conv8x8(8);
  net.map({cnp(kNpA, 0, 2048, kWhole, kWhole)});
  expect_error([&] { images(*net.layer); }, overflow(2048, 10));
  net.mapping().nps()[0].np_part->filters = 2041;
  expect_error([&] { images(*net.layer); }, overflow(2041, 10));
  net.mapping().nps()[0].np_part->filters = 1023;
  const Image img = images(*net.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 29, CNP9_FILTER_GROUPS, 128));
  EXPECT_TRUE(field_equals(img, 21, CNP2_TF_TOTAL, 1023));
}

TEST(CnpRecorderOverflow, DepthwiseChannelCutLimits) {
  OneLayer net = depthwise();
  net.map({cnp(kNpA, 4096, 2, kDwLow, kDwLow)});
  expect_error([&] { images(*net.layer); }, overflow(4096, 11));
  net.mapping().nps()[0].np_part->start_neuron = 0;
  net.mapping().nps()[0].np_part->filters = 1024;
  expect_error([&] { images(*net.layer); }, overflow(1024, 10));
  // An SRAM shift that would take the first filter past 32 bits is an overflow, not a wrap.
  net.mapping().nps()[0].np_part->filters = 2;
  net.mapping().nps()[0].np_part->start_neuron = 1;
  net.mapping().sram_shift = std::make_unique<uint32_t>(UINT32_MAX);
  expect_error([&] { images(*net.layer); }, overflow(uint64_t{UINT32_MAX} + 1, 11));
}

TEST(CnpRecorderOverflow, DepthwisePackedRowField) {
  // One channel, 100 columns of 8 bits: 25 words a row.
  const auto tall = [](uint32_t rows) {
    OneLayer net(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, Shape{100, rows, 1});
    const NpSpace whole = space(0, 0, Shape{100, rows, 1});
    net.map({cnp(kNpA, 0, 1, whole, whole)});
    return net;
  };
  OneLayer fits = tall(600);
  const Image img = images(*fits.layer).at(kNpA);
  EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_CHCONT_SIZE, 60000));
  EXPECT_TRUE(field_equals(img, 28, CNP8_CPK_ROW_WORDS, 25));
  EXPECT_TRUE(field_equals(img, 4, REG5_CPKSRAM_SIZE, 600 * 25));
  OneLayer too_tall = tall(700);
  expect_error([&] { images(*too_tall.layer); }, overflow(70000, 16));
}

// ---------------------------------------------------------------------------------------------
// Layers that cannot be recorded.

TEST(CnpRecorderErrors, LayersWithoutMappingShapeOrData) {
  OneLayer net = conv8x8();
  expect_error([&] { record(record_program_conv2d_layer, *net.layer); },
               "Cannot map layer 'cnp'. The layer has no mapping.");

  auto unbuilt = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 8}}), "loose");
  unbuilt->set_mapping(std::make_shared<LayerMapping>());
  expect_error([&] { record(record_program_conv2d_layer, *unbuilt); },
               "The layer loose is not built.");
  auto transposed =
      Layer::create(LayerParams(LayerType::Conv2DTranspose, {{"filters", 8}}), "loose_t");
  transposed->set_mapping(std::make_shared<LayerMapping>());
  expect_error([&] { record(record_program_transposed_conv2d_layer, *transposed); },
               "Cannot get input size before it is set.");

  net.map({cnp(kNpA, 0, 8, kWhole, kWhole)});
  hw::Component no_part = plain(hw::Type::CNP2, kNpB);
  net.mapping().nps().push_back(no_part);
  EXPECT_THROW(images(*net.layer), std::invalid_argument);
}

}  // namespace
}  // namespace qalto::v2
