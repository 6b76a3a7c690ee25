// The FNP input padding of a v2 Dense1D layer, worked out by hand for each rule and at the
// 2048-word boundary of the FNP input memory.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "v2/fnp_padding.hpp"

namespace qalto::v2 {
namespace {

using Params = std::map<std::string, int32_t>;

struct Chain {
  std::shared_ptr<Layer> source;
  std::shared_ptr<Layer> dense;
};

// A source layer of `type` whose output is (w, h, c) with `bits` bits, feeding a Dense1D with
// `weights_bits`.
Chain chain(LayerType type, uint32_t w, uint32_t h, uint32_t c, int32_t bits = 8,
            int32_t weights_bits = 8) {
  Params params{{"filters", static_cast<int32_t>(c)}, {"output_bits", bits}};
  auto source = Layer::create(LayerParams(type, params), "source");
  source->build({Shape{w, h, 3}});
  auto dense = Layer::create(
      LayerParams(LayerType::Dense1D, {{"units", 2}, {"weights_bits", weights_bits}}), "dense");
  dense->build({source->output_dimensions()});
  dense->connect_inbound({source});
  return {source, dense};
}

TEST(FnpPadding, RowsFromACnp) {
  // round4(5) x 400 = 3200 > 2048, so rows: n = 500, bytes = 500, 500 x 4 = 2000 words.
  auto c = chain(LayerType::Conv2D, 5, 4, 100);
  EXPECT_EQ(get_fnp_supported_padding(*c.dense, false), InputPadding::per_row);
  // 4 x 512 = 2048 fits the NP row layout exactly.
  auto exact = chain(LayerType::Conv2D, 4, 4, 128);
  EXPECT_EQ(get_fnp_supported_padding(*exact.dense, false), InputPadding::per_row_np);
  // From a TNP-B the same holds.
  auto tnp = chain(LayerType::BufferTempConv, 4, 4, 128);
  EXPECT_EQ(get_fnp_supported_padding(*tnp.dense, false), InputPadding::per_row_np);
  // Narrower weights or inputs leave the NP row layout to the plain rows.
  auto narrow_weights = chain(LayerType::Conv2D, 4, 4, 128, 8, 4);
  EXPECT_EQ(get_fnp_supported_padding(*narrow_weights.dense, false), InputPadding::per_row);
  // 4-bit rows: 500 values in 250 bytes, padded to 252: 502 words a row; 4 rows fit, 5 do not.
  auto four_bits = chain(LayerType::Conv2D, 5, 4, 100, 4);
  EXPECT_EQ(get_fnp_supported_padding(*four_bits.dense, false), InputPadding::per_row);
  auto five_rows = chain(LayerType::Conv2D, 5, 5, 100, 4);
  EXPECT_EQ(get_fnp_supported_padding(*five_rows.dense, false), InputPadding::none);
}

TEST(FnpPadding, RowsFromTheHrcNeverUseTheNpLayout) {
  auto hrc = chain(LayerType::InputConv2D, 4, 4, 128);
  // Same sizes as the exact CNP case, but the rule needs a CNP or TNP-B: 512 x 4 = 2048 rows.
  EXPECT_EQ(get_fnp_supported_padding(*hrc.dense, false), InputPadding::per_row);
  auto too_big = chain(LayerType::InputConv2D, 4, 5, 128);
  EXPECT_EQ(get_fnp_supported_padding(*too_big.dense, false), InputPadding::none);
}

TEST(FnpPadding, FlatInputAtTheBoundary) {
  auto fits = chain(LayerType::Conv2D, 1, 1, 2048);
  EXPECT_EQ(get_fnp_supported_padding(*fits.dense, true), InputPadding::flat);
  auto over = chain(LayerType::Conv2D, 1, 1, 2049);
  EXPECT_EQ(get_fnp_supported_padding(*over.dense, true), InputPadding::none);
  // 16-bit values take more bytes than values: 2047 values are 4094 bytes, padded to 4096,
  // so they need 2047 - 4094 + 4096 = 2049 words; 2044 values need exactly 2044.
  auto wide = chain(LayerType::Conv2D, 1, 1, 2047, 16);
  EXPECT_EQ(get_fnp_supported_padding(*wide.dense, true), InputPadding::none);
  auto wide_fits = chain(LayerType::Conv2D, 1, 1, 2044, 16);
  EXPECT_EQ(get_fnp_supported_padding(*wide_fits.dense, true), InputPadding::flat);
}

TEST(FnpPadding, LayerWithoutInboundReadsFlat) {
  auto dense = Layer::create(LayerParams(LayerType::Dense1D, {{"units", 2}}), "alone");
  dense->build({Shape{4, 4, 128}});
  EXPECT_EQ(get_fnp_supported_padding(*dense, false), InputPadding::flat);
}

}  // namespace
}  // namespace qalto::v2
