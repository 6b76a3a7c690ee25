#include <gtest/gtest.h>

#include <array>

#include "mapping/fake_device.hpp"
#include "mapping/hardware_constraints.hpp"

namespace qalto {
namespace {

using Words = std::array<uint32_t, 19>;

Words words_of(const HardwareConstraints& c) {
  return {c.fnp3_sram_size,
          c.np_weight_words,
          c.max_input_width,
          c.max_input_height,
          c.max_input_channels,
          c.max_filters,
          c.limit_word_6,
          c.limit_word_7,
          c.limit_word_8,
          c.limit_word_9,
          c.limit_word_10,
          c.input_sram_dual_buffer_words,
          c.input_sram_single_buffer_words,
          c.fnp_input_sram_words,
          c.input_shift_entries,
          c.stsram_32b_size,
          c.fsram_64b_size,
          c.tsram_51b_size,
          c.evsram_32b_size};
}

TEST(HardwareConstraints, RecordIsNineteenPlainWords) {
  static_assert(sizeof(HardwareConstraints) == 19 * sizeof(uint32_t));
}

TEST(HardwareConstraints, V1FromDefaultMesh) {
  const Mesh mesh = testing::empty_mesh(IpVersion::v1);
  const Words expected{10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512,
                       504,   5376, 10752, 10752, 0,  0,    0,  0,   0};
  EXPECT_EQ(words_of(make_hardware_constraints(IpVersion::v1, mesh)), expected);
}

TEST(HardwareConstraints, V2FromDefaultMesh) {
  const Mesh mesh = testing::empty_mesh(IpVersion::v2);
  const Words expected{12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512,
                       0,     8192, 16384, 16384, 256, 0,   0,  0,   0};
  EXPECT_EQ(words_of(make_hardware_constraints(IpVersion::v2, mesh)), expected);
}

TEST(HardwareConstraints, MivoHasOnlyTheTnpRBudgets) {
  Mesh mesh = testing::empty_mesh(IpVersion::mivo);
  Words expected{};
  expected[15] = 448;
  expected[16] = 8192;
  expected[17] = 892;
  expected[18] = 256;
  EXPECT_EQ(words_of(make_hardware_constraints(IpVersion::mivo, mesh)), expected);
  // Discovery may overwrite the sizes: the budgets follow the mesh, input/weight bytes do not
  // matter on Mivo.
  mesh.np_sram_size = SramSize{1000, 2000, 1, 2, 3, 4};
  expected = Words{};
  expected[15] = 1;
  expected[16] = 2;
  expected[17] = 3;
  expected[18] = 4;
  EXPECT_EQ(words_of(make_hardware_constraints(IpVersion::mivo, mesh)), expected);
}

TEST(HardwareConstraints, V2WeightWordsAreHalfOfV1ForSameSram) {
  Mesh mesh = testing::empty_mesh(IpVersion::v2);
  mesh.np_sram_size.weight_bytes = 44800;
  EXPECT_EQ(make_hardware_constraints(IpVersion::v2, mesh).np_weight_words, 7168u / 2);
}

TEST(HardwareConstraints, FollowsDiscoveredSizes) {
  Mesh mesh = testing::empty_mesh(IpVersion::v1);
  mesh.np_sram_size.input_bytes = 1000;
  mesh.np_sram_size.weight_bytes = 999;
  const auto c = make_hardware_constraints(IpVersion::v1, mesh);
  EXPECT_EQ(c.fnp3_sram_size, 999u * 8 / 32 * 48 / 50);  // 239
  EXPECT_EQ(c.np_weight_words, 999u * 8 / 50);            // 159
  EXPECT_EQ(c.input_sram_dual_buffer_words, 125u);
  EXPECT_EQ(c.input_sram_single_buffer_words, 250u);
  EXPECT_EQ(c.fnp_input_sram_words, 250u);
}

TEST(HardwareConstraints, LargeSramSizesDoNotWrap) {
  // 2^29 bytes times 8 bits is 2^32: a 32-bit product would wrap to 0 and report no memory.
  Mesh mesh = testing::empty_mesh(IpVersion::v2);
  mesh.np_sram_size.input_bytes = 1u << 29;
  mesh.np_sram_size.weight_bytes = 0xFFFFFFFFu;
  const auto c = make_hardware_constraints(IpVersion::v2, mesh);
  EXPECT_EQ(c.input_sram_dual_buffer_words, 1u << 26);
  EXPECT_EQ(c.input_sram_single_buffer_words, 1u << 27);
  EXPECT_EQ(c.fnp3_sram_size, static_cast<uint32_t>(0xFFFFFFFFull * 8 / 32 * 48 / 50));
  EXPECT_EQ(c.np_weight_words, static_cast<uint32_t>(0xFFFFFFFFull * 8 / 100));
}

TEST(HardwareConstraints, NoneIsAllZero) {
  EXPECT_EQ(words_of(make_hardware_constraints(IpVersion::none,
                                               testing::empty_mesh(IpVersion::v2))),
            Words{});
}

}  // namespace
}  // namespace qalto
