// The program serialiser, checked through readers that do not trust its bytes: the
// flatbuffers verifier, the span arithmetic against the data bytes, and flatc's own decoder.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "program/record.hpp"
#include "program/sequence_serializer.hpp"
#include "qalto/dma.hpp"

namespace qalto {
namespace {

const HwVersion kVersion{0xBC, 0xA2, 3, 4};

// Distinctive words for track `t` of layer `tag` (registers-only records differ).
std::vector<uint32_t> track_words(uint32_t tag, uint32_t t, size_t n, bool registers_only) {
  std::vector<uint32_t> words(n);
  for (size_t i = 0; i < n; ++i) {
    words[i] = (tag << 24) | (t << 16) | (registers_only ? 0x8000u : 0u) | static_cast<uint32_t>(i);
  }
  return words;
}

struct RecordPlan {
  uint32_t tag = 0;
  std::vector<size_t> track_sizes;
  bool fnp2 = false;
};

program::RecordPtr build_record(const RecordPlan& plan, bool registers_only = false) {
  auto record = program::new_record(kVersion);
  for (uint32_t t = 0; t < plan.track_sizes.size(); ++t) {
    record->add_np_track({1, 2, static_cast<uint8_t>(t), 0}, dma::Target::NpRegisters, 0,
                         track_words(plan.tag, t, plan.track_sizes[t], registers_only), true,
                         false);
  }
  if (plan.fnp2) record->add_fnp2_filters_track({9, 8, 7, 6}, track_words(plan.tag, 0xF, 3, false));
  return record;
}

struct RecordCall {
  std::string layer;
  std::string first;
  std::string next;
  bool ib_spikes, partial_reconfig, registers_only, output_format_flag;
  std::vector<hw::Ident> skip;
  int layer_id_seen;
};

class FakeLayerRecorder : public LayerRecorder {
 public:
  program::RecordPtr record_layer(const Layer& layer, const Layer* first, const LayerPtr& next,
                                  bool ib_spikes, bool partial_reconfig,
                                  const std::vector<hw::Ident>& skip, bool registers_only,
                                  bool output_format_flag) const override {
    const auto mapping = layer_mapping_of(layer);
    calls.push_back({layer.get_name(), first ? first->get_name() : "", next ? next->get_name() : "",
                     ib_spikes, partial_reconfig, registers_only, output_format_flag, skip,
                     mapping ? mapping->layer_id : -1});
    if (fail) fail(layer);
    return build_record(plans.at(layer.get_name()), registers_only);
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override {
    return learn();
  }
  void sync_learning_vars(const LayerPtr&) const override {}

  std::map<std::string, RecordPlan> plans;
  std::function<void(const Layer&)> fail;
  std::function<program::LearnRecordsPtr()> learn;
  mutable std::vector<RecordCall> calls;
};

class FakeIoRecorder : public IoRecorder {
 public:
  program::RecordPtr record_scc(bool, bool, bool, bool, bool, const Shape&,
                                const Shape&) const override {
    return build_record({0xCC, {4}});
  }
  std::vector<EpgRegister> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                      bool) const override {
    return epg;
  }
  int8_t get_input_type(const Layer&) const override { return 0; }
  int8_t get_output_type(const Layer&, int8_t) const override { return 0; }

  std::vector<EpgRegister> epg{{0x10, 0xAA}, {0x14, 0xBB}};
};

std::shared_ptr<Layer> conv(const std::string& name, Shape input, uint32_t filters = 4) {
  auto layer = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", int32_t(filters)}}), name);
  layer->build({input});
  return layer;
}

std::shared_ptr<LayerMapping> attach_mapping(Layer& layer, std::vector<hw::Component> nps = {}) {
  auto mapping = std::make_shared<LayerMapping>();
  *mapping->components = std::move(nps);
  layer.set_mapping(mapping);
  return mapping;
}

hw::Component component(hw::Type type, hw::Ident ident) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return c;
}

program::LearnRecordsPtr learn_records(std::vector<size_t> r1, std::vector<size_t> r2,
                                       std::vector<size_t> weights, bool fnp2,
                                       uint32_t sram = 1234) {
  program::LearnRecordsPtr records;
  records.registers_1 = build_record({0xD1, std::move(r1)});
  records.registers_2 = build_record({0xD2, std::move(r2)});
  records.weights = build_record({0xD3, std::move(weights), fnp2});
  records.fnp_sram_size = sram;
  return records;
}

std::shared_ptr<Sequence::Pass> make_pass(std::vector<std::shared_ptr<Layer>> layers) {
  auto pass = std::make_shared<Sequence::Pass>();
  pass->layers = std::move(layers);
  return pass;
}

// Whether a table stores a field (generated tables hide their flatbuffers::Table base).
bool stores(const void* table, flatbuffers::voffset_t field) {
  return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

uint32_t read_u32(const std::vector<uint8_t>& bytes, size_t at) {
  if (at + 4 > bytes.size()) throw std::out_of_range("read past the program");
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

// The program split as a reader would: both parts with their size prefixes.
struct Parts {
  std::vector<uint8_t> info;
  std::vector<uint8_t> data;
};

Parts split(const std::vector<uint8_t>& program) {
  const uint32_t n1 = read_u32(program, 0);
  if (4 + size_t{n1} + 4 > program.size()) throw std::out_of_range("bad info size");
  const uint32_t n2 = read_u32(program, 4 + n1);
  EXPECT_EQ(8 + size_t{n1} + n2, program.size()) << "N1 and N2 must add up to the program";
  Parts parts;
  parts.info.assign(program.begin(), program.begin() + 4 + n1);
  parts.data.assign(program.begin() + 4 + n1, program.end());
  return parts;
}

std::vector<uint32_t> span_words(const std::vector<uint8_t>& data, uint32_t offset,
                                 uint32_t size) {
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < size; ++i) words.push_back(read_u32(data, offset + 4 * size_t{i}));
  return words;
}

std::vector<uint32_t> track_of(const RecordPlan& plan, size_t t, bool registers_only = false) {
  return build_record(plan, registers_only)->tracks.at(t).words();
}

class SerializerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = conv("A", Shape{8, 8, 3});
    b = conv("B", Shape{8, 8, 4});
    c = conv("C", Shape{8, 8, 4});
    e = conv("E", Shape{12, 8, 3});
    d = Layer::create(LayerParams(LayerType::Dense1D, {{"units", 10}}), "D");
    d->build({Shape{1, 1, 64}});

    auto ma = attach_mapping(*a, {component(hw::Type::CNP2, {1, 1, 1, 0})});
    ma->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, {2, 3, 4, 5}));
    ma->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>(SkipDmaStoreChannelInfo{2, 0, 7});
    auto mb = attach_mapping(*b, {component(hw::Type::CNP2, {1, 1, 2, 0})});
    mb->skipdma_loads.push_back(component(hw::Type::SKIP_DMA_LOAD, {6, 7, 8, 1}));
    mb->skipdma_load_channel =
        std::make_unique<SkipDmaLoadChannelInfo>(SkipDmaLoadChannelInfo{1, 3, 7, 0});
    mc = attach_mapping(*c, {component(hw::Type::CNP2, {1, 1, 3, 0})});
    mc->layer_id = 5;
    mc->prev_pass_layer_id = 9;
    attach_mapping(*d, {component(hw::Type::FNP2, {4, 5, 6, 7})});
    // Two stores, the second for a dual output.
    auto me = attach_mapping(*e, {component(hw::Type::CNP2, {1, 1, 4, 0})});
    me->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, {3, 3, 1, 0}));
    me->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, {3, 3, 2, 1}));
    me->merge_info = std::make_unique<MergeLayerMapInfo>();
    me->merge_info->dual_output = true;
    me->dual_output_store = true;
    me->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>(SkipDmaStoreChannelInfo{1, 0, 2});
    me->skipdma_store_dual_output_channel =
        std::make_unique<SkipDmaStoreChannelInfo>(SkipDmaStoreChannelInfo{4, 1, 3});

    recorder.plans["A"] = {0xA0, {5, 3}};
    recorder.plans["B"] = {0xB0, {}, true};
    recorder.plans["C"] = {0xC0, {6}};
    recorder.plans["E"] = {0xE0, {2}};
    recorder.learn = [] { return learn_records({3}, {4}, {5}, true); };
  }

  // Two passes: [scc, A, B, unused(C)] and [C, E] with the learning layer D.
  std::vector<uint8_t> two_pass_program() {
    SequenceSerializer s(recorder, io);
    s.serialize_version(kVersion);
    EXPECT_TRUE(s.serialize_scc_program(true, false, true, false, true, Shape{8, 8, 3},
                                        Shape{8, 8, 4}));
    EXPECT_EQ(s.serialize_layer_program(*a, *a, c, false, false, {}, false, false), 2u);
    EXPECT_EQ(s.serialize_layer_program(*b, *a, c, false, true, {}, false, true), 0u);
    EXPECT_EQ(s.serialize_unused_nps_program(c, a, {{1, 1, 1, 0}, {1, 1, 2, 0}}), 1u);
    s.finalize_pass();
    EXPECT_EQ(s.serialize_layer_program(*c, *a, nullptr, true, false, {}, false, false), 1u);
    EXPECT_EQ(s.serialize_layer_program(*e, *a, nullptr, false, false, {}, false, false), 1u);
    EXPECT_EQ(s.serialize_learning_layer_program(*d, true), 2u);
    s.finalize_pass();
    s.serialize_epg_tracks(*a, 1, 4, 1, false, true, false);
    s.record_dummy_desc_hdr(true);
    std::vector<uint8_t> program{0xEE};
    s.finalize("9.9.9", Shape{8, 8, 3}, Shape{8, 8, 4}, 1, 2, 4, true, 0x1111, 0x2222,
               {-1, 2}, {0.5f}, 7, &program, {make_pass({a, b}), make_pass({c, e, d})}, 8, true,
               true, {0.25f}, {3}, true);
    return program;
  }

  std::shared_ptr<Layer> a, b, c, d, e;
  std::shared_ptr<LayerMapping> mc;
  FakeLayerRecorder recorder;
  FakeIoRecorder io;
};

TEST_F(SerializerTest, BothPartsVerifyAndSpansPointAtTheirWords) {
  const std::vector<uint8_t> program = two_pass_program();
  const Parts parts = split(program);
  flatbuffers::Verifier info_verifier(parts.info.data(), parts.info.size());
  ASSERT_TRUE(info_verifier.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
  flatbuffers::Verifier data_verifier(parts.data.data(), parts.data.size());
  ASSERT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));

  const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.info.data());
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.data.data());
  ASSERT_EQ(data->passes()->size(), 2u);
  ASSERT_EQ(info->pass_spans()->size(), 2u);

  // Expected tracks per record, in pass order.
  using Tracks = std::vector<std::vector<uint32_t>>;
  std::vector<std::vector<Tracks>> expected(2);
  expected[0].push_back(Tracks{track_of({0xCC, {4}}, 0)});
  expected[0].push_back(Tracks{track_of(recorder.plans["A"], 0), track_of(recorder.plans["A"], 1)});
  expected[0].push_back(Tracks{});
  expected[0].push_back(Tracks{track_of(recorder.plans["C"], 0, true)});
  expected[1].push_back(Tracks{track_of(recorder.plans["C"], 0)});
  expected[1].push_back(Tracks{track_of(recorder.plans["E"], 0)});
  for (size_t p = 0; p < expected.size(); ++p) {
    const auto* records = info->pass_spans()->Get(p)->records();
    ASSERT_EQ(records->size(), expected[p].size()) << "pass " << p;
    ASSERT_EQ(data->passes()->Get(p)->records()->size(), expected[p].size());
    for (size_t r = 0; r < expected[p].size(); ++r) {
      ASSERT_EQ(records->Get(r)->tracks()->size(), expected[p][r].size());
      for (size_t t = 0; t < expected[p][r].size(); ++t) {
        const fb::TrackSpan* span = records->Get(r)->tracks()->Get(t);
        EXPECT_EQ(span_words(parts.data, span->offset(), span->size()), expected[p][r][t])
            << "pass " << p << " record " << r << " track " << t;
      }
    }
  }
  // Record B: no tracks, only its FNP2 filters.
  const fb::RecordSpans* b_spans = info->pass_spans()->Get(0)->records()->Get(2);
  ASSERT_NE(b_spans->fnp2_filters(), nullptr);
  EXPECT_EQ(span_words(parts.data, b_spans->fnp2_filters()->offset(), b_spans->fnp2_filters()->size()),
            track_words(0xB0, 0xF, 3, false));
  EXPECT_EQ(b_spans->fnp2_filters()->ident().col(), 9);
  EXPECT_EQ(b_spans->fnp2_filters()->ident().id(), 7);
  EXPECT_EQ(info->pass_spans()->Get(0)->records()->Get(1)->fnp2_filters(), nullptr);

  // The dummy header span points at the data root's struct.
  const fb::TrackSpan* dummy = info->dummy_desc_hdr();
  ASSERT_NE(dummy, nullptr);
  EXPECT_EQ(dummy->size(), 2u);
  const uint64_t header = format_config_header_fb({}, dma::Target::HrcRegisters, 1, 0);
  EXPECT_EQ(span_words(parts.data, dummy->offset(), 2),
            (std::vector<uint32_t>{uint32_t(header), uint32_t(header >> 32)}));
  EXPECT_EQ(data->dummy_desc_hdr()->word0(), uint32_t(header));
  EXPECT_EQ(dma::decode_config_header(span_words(parts.data, dummy->offset(), 2).data()).target, 8u);
}

TEST_F(SerializerTest, LearningLayerAndInformationFields) {
  const Parts parts = split(two_pass_program());
  const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.info.data());
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.data.data());

  const fb::LearningLayer* learning = data->learning_layer();
  ASSERT_NE(learning, nullptr);
  EXPECT_EQ(learning->ident()->col(), 4);
  EXPECT_EQ(learning->ident()->id(), 6);
  EXPECT_EQ(learning->fnp_sram_size(), 1234u);
  const fb::LearningLayerInfo* learn_info = info->learning_layer();
  ASSERT_NE(learn_info, nullptr);
  EXPECT_EQ(span_words(parts.data, learn_info->registers_1()->offset(), learn_info->registers_1()->size()),
            track_of({0xD1, {3}}, 0));
  EXPECT_EQ(span_words(parts.data, learn_info->registers_2()->offset(), learn_info->registers_2()->size()),
            track_of({0xD2, {4}}, 0));
  // Weights with FNP2 filters: only the filters span is stored.
  EXPECT_EQ(learn_info->weights()->tracks(), nullptr);
  ASSERT_NE(learn_info->weights()->fnp2_filters(), nullptr);
  EXPECT_EQ(span_words(parts.data, learn_info->weights()->fnp2_filters()->offset(), 3),
            track_words(0xD3, 0xF, 3, false));
  EXPECT_EQ(learn_info->ident()->row(), 5);

  EXPECT_EQ(info->version()->str(), "9.9.9");
  EXPECT_EQ(info->device_version()->vendor_id(), 0xBC);
  EXPECT_EQ(info->device_version()->minor_rev(), 4);
  EXPECT_EQ(std::vector<uint32_t>(info->input_dims()->begin(), info->input_dims()->end()),
            (std::vector<uint32_t>{8, 8, 3}));
  EXPECT_EQ(static_cast<int>(info->input_type()), 1);
  EXPECT_EQ(static_cast<int>(info->output_type()), 2);
  EXPECT_EQ(info->output_bits(), 4);
  EXPECT_EQ(info->hrc_param_1(), 0x1111u);
  EXPECT_EQ(info->hrc_param_0(), 0x2222u);
  EXPECT_EQ(info->output_shift()->Get(0), -1);
  EXPECT_EQ(info->max_descriptors(), 7);
  ASSERT_EQ(info->epg_registers()->size(), 2u);
  EXPECT_EQ(info->epg_registers()->Get(1)->offset(), 0x14u);
  EXPECT_EQ(info->epg_registers()->Get(1)->value(), 0xBBu);
  EXPECT_EQ(info->input_bits(), 8);
  EXPECT_TRUE(info->input_signed());
  EXPECT_TRUE(info->channels_first());
  EXPECT_EQ(info->input_zero_points()->Get(0), 3);
  EXPECT_TRUE(info->mivo_post_processing());

  // Skip-DMA spans: A stores its 8x8x4 output (64 words), B loads, E stores plain and dual.
  const fb::PassSpans* first = info->pass_spans()->Get(0);
  ASSERT_EQ(first->skipdma_stores()->size(), 1u);
  const fb::SkipDmaSpan* store = first->skipdma_stores()->Get(0);
  EXPECT_EQ(store->ident().col(), 2);
  EXPECT_EQ(store->ident().channel(), 5);
  EXPECT_EQ(store->tnp_b(), 0);
  EXPECT_EQ(store->distance(), 2);
  EXPECT_EQ(store->channel(), 7);
  EXPECT_EQ(store->size(), 64u);
  ASSERT_EQ(first->skipdma_loads()->size(), 1u);
  EXPECT_EQ(first->skipdma_loads()->Get(0)->distance(), 3);
  EXPECT_EQ(first->skipdma_loads()->Get(0)->channel(), 7) << "the load names its store channel";
  EXPECT_EQ(first->skipdma_loads()->Get(0)->size(), 0u);
  const fb::PassSpans* second = info->pass_spans()->Get(1);
  EXPECT_EQ(second->skipdma_loads(), nullptr);
  ASSERT_EQ(second->skipdma_stores()->size(), 2u);
  EXPECT_EQ(second->skipdma_stores()->Get(0)->size(), 96u);  // 12x8 output, 4 channels
  EXPECT_EQ(second->skipdma_stores()->Get(1)->ident().id(), 2);
  EXPECT_EQ(second->skipdma_stores()->Get(1)->channel(), 3);
  EXPECT_EQ(second->skipdma_stores()->Get(1)->size(), 72u);  // ceil(8*12/32) * 8 * 3
}

TEST_F(SerializerTest, TnpBSkipDmaSpansMoveTheBufferedInput) {
  // A TNP-B parks its own 4-bit (6, 5, 40) input, not its (6, 5, 4) 8-bit output:
  // ceil(4 * 40 / 32) * 6 * 5 = 150 words for both stores; its load is marked TNP-B too.
  auto t = Layer::create(
      LayerParams(LayerType::BufferTempConv, {{"filters", 4}, {"input_bits", 4}}), "T");
  t->build({Shape{6, 5, 40}});
  auto mt = attach_mapping(*t, {component(hw::Type::TNP_B, {1, 1, 5, 0})});
  mt->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, {3, 3, 1, 0}));
  mt->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, {3, 3, 2, 1}));
  mt->dual_output_store = true;
  mt->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>(SkipDmaStoreChannelInfo{1, 0, 2});
  mt->skipdma_store_dual_output_channel =
      std::make_unique<SkipDmaStoreChannelInfo>(SkipDmaStoreChannelInfo{4, 1, 3});
  mt->skipdma_loads.push_back(component(hw::Type::SKIP_DMA_LOAD, {6, 7, 8, 1}));
  mt->skipdma_load_channel =
      std::make_unique<SkipDmaLoadChannelInfo>(SkipDmaLoadChannelInfo{1, 3, 7, 0});
  recorder.plans["T"] = {0x70, {2}};

  SequenceSerializer s(recorder, io);
  s.serialize_version(kVersion);
  s.serialize_layer_program(*t, *t, nullptr, false, false, {}, false, false);
  s.finalize_pass();
  s.record_dummy_desc_hdr(false);
  std::vector<uint8_t> program;
  s.finalize("1", Shape{6, 5, 40}, t->output_dimensions(), 0, 0, 8, false, 0, 0, {}, {}, 2,
             &program, {make_pass({t})}, 4, false, false, {}, {}, false);
  const Parts parts = split(program);
  flatbuffers::Verifier verifier(parts.info.data(), parts.info.size());
  ASSERT_TRUE(verifier.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
  const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.info.data());
  const fb::PassSpans* spans = info->pass_spans()->Get(0);
  ASSERT_EQ(spans->skipdma_stores()->size(), 2u);
  const fb::SkipDmaSpan* own = spans->skipdma_stores()->Get(0);
  EXPECT_EQ(own->tnp_b(), 1);
  EXPECT_EQ(own->size(), 150u);
  const fb::SkipDmaSpan* dual = spans->skipdma_stores()->Get(1);
  EXPECT_EQ(dual->tnp_b(), 0) << "dual-output stores are never marked TNP-B";
  EXPECT_EQ(dual->distance(), 4);
  EXPECT_EQ(dual->size(), 150u);
  ASSERT_EQ(spans->skipdma_loads()->size(), 1u);
  EXPECT_EQ(spans->skipdma_loads()->Get(0)->tnp_b(), 1);
}

// A skip-DMA component without its channel record would be written as distance 0 on channel
// 0: the program is refused and left unwritten.
TEST_F(SerializerTest, SkipDmaComponentsWithoutChannelRecordsAreRefused) {
  struct Case {
    std::function<void(LayerMapping&, LayerMapping&)> damage;
    std::string message;
  };
  const std::vector<Case> cases{
      {[](LayerMapping& me, LayerMapping&) { me.skipdma_store_channel.reset(); },
       "The skip-DMA store of layer 'E' has no channel record."},
      {[](LayerMapping& me, LayerMapping&) { me.skipdma_store_dual_output_channel.reset(); },
       "The skip-DMA dual-output store of layer 'E' has no channel record."},
      {[](LayerMapping&, LayerMapping& mb) { mb.skipdma_load_channel.reset(); },
       "The skip-DMA load of layer 'B' has no channel record."},
      // Two stores of which neither is the dual output: the second has no record to use.
      {[](LayerMapping& me, LayerMapping&) { me.dual_output_store = false; },
       "Layer 'E' has 2 skip-DMA stores, but channel records for only 1."},
  };
  for (const Case& c : cases) {
    SetUp();
    c.damage(*layer_mapping_of(*e), *layer_mapping_of(*b));
    SequenceSerializer s(recorder, io);
    s.serialize_version(kVersion);
    s.finalize_pass();
    std::vector<uint8_t> program{1, 2, 3};
    try {
      s.finalize("1", Shape{8, 8, 3}, Shape{8, 8, 4}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
                 {make_pass({b, e})}, 8, false, false, {}, {}, false);
      ADD_FAILURE() << "no exception for: " << c.message;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.message);
    }
    EXPECT_EQ(program, (std::vector<uint8_t>{1, 2, 3}));
  }
}

TEST_F(SerializerTest, RecordersSeeTheirArguments) {
  two_pass_program();
  ASSERT_EQ(recorder.calls.size(), 5u);
  const RecordCall& b_call = recorder.calls[1];
  EXPECT_EQ(b_call.first, "A");
  EXPECT_EQ(b_call.next, "C");
  EXPECT_TRUE(b_call.partial_reconfig);
  EXPECT_TRUE(b_call.output_format_flag);
  const RecordCall& unused = recorder.calls[2];
  EXPECT_EQ(unused.layer, "C");
  EXPECT_EQ(unused.next, "C");
  EXPECT_TRUE(unused.registers_only);
  EXPECT_FALSE(unused.ib_spikes);
  EXPECT_EQ(unused.skip, (std::vector<hw::Ident>{{1, 1, 1, 0}, {1, 1, 2, 0}}));
  EXPECT_EQ(unused.layer_id_seen, 9) << "recorded with the previous pass's id";
  EXPECT_EQ(recorder.calls[3].layer_id_seen, 5);
  EXPECT_TRUE(recorder.calls[3].ib_spikes);
  EXPECT_EQ(mc->layer_id, 5);
}

TEST_F(SerializerTest, SinglePassLeavesOptionalFieldsOut) {
  io.epg.clear();
  SequenceSerializer s(recorder, io);
  s.serialize_version(kVersion);
  s.finalize_pass();
  s.record_dummy_desc_hdr(false);
  std::vector<uint8_t> program;
  s.finalize("1", Shape{4}, Shape{2}, 0, 0, 0, false, 0, 0, {}, {}, 1, &program,
             {make_pass({})}, 0, false, false, {}, {}, false);
  const Parts parts = split(program);
  flatbuffers::Verifier verifier(parts.info.data(), parts.info.size());
  ASSERT_TRUE(verifier.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
  const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.info.data());
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.data.data());
  for (auto field : {fb::ProgramInfo::VT_EPG_REGISTERS, fb::ProgramInfo::VT_LEARNING_LAYER,
                     fb::ProgramInfo::VT_INPUT_TYPE, fb::ProgramInfo::VT_OUTPUT_BITS,
                     fb::ProgramInfo::VT_OUTPUT_ACTIVATION, fb::ProgramInfo::VT_INPUT_SIGNED}) {
    EXPECT_FALSE(stores(info, field)) << "field at vtable offset " << field;
  }
  for (auto field : {fb::ProgramInfo::VT_OUTPUT_SHIFT, fb::ProgramInfo::VT_INPUT_SCALES,
                     fb::ProgramInfo::VT_INPUT_ZERO_POINTS, fb::ProgramInfo::VT_PASS_SPANS}) {
    EXPECT_TRUE(stores(info, field)) << "always stored: " << field;
  }
  EXPECT_FALSE(stores(data, fb::ProgramData::VT_LEARNING_LAYER));
  ASSERT_EQ(data->passes()->size(), 1u);
  EXPECT_EQ(data->passes()->Get(0)->records()->size(), 0u);
  EXPECT_EQ(info->pass_spans()->Get(0)->records()->size(), 0u);
  EXPECT_EQ(info->pass_spans()->Get(0)->skipdma_stores(), nullptr);
  EXPECT_EQ(data->dummy_desc_hdr()->word0(), 0u);
  EXPECT_EQ(data->dummy_desc_hdr()->word1(), 0u);
  EXPECT_EQ(info->dummy_desc_hdr()->size(), 2u);
  EXPECT_EQ(span_words(parts.data, info->dummy_desc_hdr()->offset(), 2),
            (std::vector<uint32_t>{0, 0}));
  EXPECT_GE(info->dummy_desc_hdr()->offset(), 4u) << "positions count the size prefix";
}

TEST_F(SerializerTest, RecorderErrorsBecomeLayerStatuses) {
  SequenceSerializer s(recorder, io);
  recorder.fail = [](const Layer&) { throw std::invalid_argument("bad weights"); };
  try {
    s.serialize_layer_program(*a, *a, nullptr, false, false, {}, false, false);
    FAIL() << "expected an error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot map layer 'A'. Error: bad weights.");
  }
  recorder.fail = [](const Layer&) { throw std::bad_alloc(); };
  EXPECT_THROW(s.serialize_layer_program(*a, *a, nullptr, false, false, {}, false, false),
               std::bad_alloc);
  recorder.fail = [](const Layer&) { throw std::length_error("vector"); };
  EXPECT_THROW(s.serialize_layer_program(*a, *a, nullptr, false, false, {}, false, false),
               std::length_error);
  recorder.fail = nullptr;
  recorder.plans["A"] = {0xA0, {70000}};  // a block larger than any track
  try {
    s.serialize_layer_program(*a, *a, nullptr, false, false, {}, false, false);
    FAIL() << "expected an error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot map layer 'A'. Error: Error generating NP program..");
  }
}

TEST_F(SerializerTest, UnusedNpsRestoreTheLayerIdOnFailure) {
  SequenceSerializer s(recorder, io);
  recorder.fail = [](const Layer&) { throw std::runtime_error("no"); };
  EXPECT_THROW(s.serialize_unused_nps_program(c, a, {}), std::runtime_error);
  EXPECT_EQ(recorder.calls.back().layer_id_seen, 9);
  EXPECT_EQ(mc->layer_id, 5);
  recorder.fail = [](const Layer&) { throw std::bad_alloc(); };
  EXPECT_THROW(s.serialize_unused_nps_program(c, a, {}), std::bad_alloc);
  EXPECT_EQ(mc->layer_id, 5);
  auto unmapped = conv("U", Shape{4, 4, 1});
  EXPECT_THROW(s.serialize_unused_nps_program(unmapped, a, {}), std::runtime_error);
}

TEST_F(SerializerTest, LearningProgramsThatCannotBeDescribedAreRefused) {
  const auto error_for = [&](std::function<program::LearnRecordsPtr()> learn) -> std::string {
    recorder.learn = std::move(learn);
    SequenceSerializer s(recorder, io);
    try {
      s.serialize_learning_layer_program(*d, false);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "accepted";
  };
  EXPECT_EQ(error_for([] { return learn_records({3}, {4}, {5}, false); }), "accepted");
  EXPECT_EQ(error_for([] { return learn_records({3, 3}, {4}, {5}, true); }),
            "Cannot map layer 'D'. Error: The learning program's registers_1 record must hold "
            "exactly one track and no FNP2 filters, it holds 2 tracks.");
  EXPECT_EQ(error_for([] { return learn_records({3}, {}, {5}, true); }),
            "Cannot map layer 'D'. Error: The learning program's registers_2 record must hold "
            "exactly one track and no FNP2 filters, it holds 0 tracks.");
  EXPECT_EQ(error_for([] { return learn_records({3}, {4}, {5, 6}, false); }),
            "Cannot map layer 'D'. Error: The learning program's weights record must hold FNP2 "
            "filters or exactly one track, it holds 2 tracks.");
  EXPECT_EQ(error_for([] {
              program::LearnRecordsPtr records = learn_records({3}, {4}, {5}, true);
              records.weights.reset();
              return records;
            }),
            "Cannot map layer 'D'. Error: The learning program has no weights record.");

  recorder.learn = [] { return learn_records({3}, {4}, {5}, true); };
  SequenceSerializer s(recorder, io);
  s.serialize_learning_layer_program(*d, false);
  try {
    s.serialize_learning_layer_program(*d, false);
    FAIL() << "a second learning layer must be refused";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(),
                 "Cannot map layer 'D'. Error: Only one learning layer is supported in a "
                 "sequence.");
  }
}

TEST_F(SerializerTest, LearningLayerWithoutComponentIsOutOfRange) {
  SequenceSerializer s(recorder, io);
  s.serialize_version(kVersion);
  attach_mapping(*d, {});
  EXPECT_THROW(s.serialize_learning_layer_program(*d, false), std::out_of_range);
  s.finalize_pass();
  std::vector<uint8_t> program;
  s.finalize("1", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
             {make_pass({d})}, 8, false, false, {}, {}, false);
  const Parts parts = split(program);
  EXPECT_EQ(flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.data.data())->learning_layer(),
            nullptr);
}

TEST_F(SerializerTest, FinalizeChecksItsPreconditions) {
  std::vector<uint8_t> program{1, 2, 3};
  {
    SequenceSerializer s(recorder, io);
    s.finalize_pass();
    EXPECT_THROW(s.finalize("1", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
                            {make_pass({})}, 8, false, false, {}, {}, false),
                 std::logic_error);
  }
  SequenceSerializer s(recorder, io);
  s.serialize_version(kVersion);
  s.finalize_pass();
  EXPECT_THROW(s.finalize("1", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
                          {make_pass({}), make_pass({})}, 8, false, false, {}, {}, false),
               std::logic_error);
  EXPECT_EQ(program, (std::vector<uint8_t>{1, 2, 3}));
  s.finalize("1", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
             {make_pass({})}, 8, false, false, {}, {}, false);
  EXPECT_THROW(s.finalize("1", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, &program,
                          {make_pass({})}, 8, false, false, {}, {}, false),
               std::logic_error);
}

std::string decode_with_flatc(const std::vector<uint8_t>& part, const std::string& name,
                              const std::string& root_type) {
  const std::filesystem::path dir =
      std::filesystem::path(QALTO_BINARY_DIR) / "tests" / "progfmt_flatc" / name;
  std::filesystem::create_directories(dir);
  const auto bin = dir / (name + ".bin");
  std::ofstream(bin, std::ios::binary)
      .write(reinterpret_cast<const char*>(part.data()), static_cast<std::streamsize>(part.size()));
  std::string command = std::string(QALTO_FLATC) + " --json --strict-json --raw-binary --size-prefixed";
  if (!root_type.empty()) command += " --root-type " + root_type;
  command += " -o " + dir.string() + " " + QALTO_SOURCE_DIR "/program/program.fbs -- " +
             bin.string() + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream json(dir / (name + ".json"));
  std::stringstream text;
  text << json.rdbuf();
  return text.str();
}

TEST_F(SerializerTest, FlatcDecodesBothParts) {
  const Parts parts = split(two_pass_program());
  const std::string info = decode_with_flatc(parts.info, "info", "");
  EXPECT_NE(info.find("\"version\": \"9.9.9\""), std::string::npos) << info;
  EXPECT_NE(info.find("\"vendor_id\": 188"), std::string::npos) << info;
  EXPECT_NE(info.find("\"max_descriptors\": 7"), std::string::npos) << info;
  EXPECT_NE(info.find("\"hrc_param_1\": 4369"), std::string::npos) << info;
  EXPECT_NE(info.find("\"mivo_post_processing\": true"), std::string::npos) << info;
  EXPECT_NE(info.find("\"skipdma_loads\""), std::string::npos) << info;
  EXPECT_NE(info.find("\"input_type\": \"Type1\""), std::string::npos) << info;

  const std::string data = decode_with_flatc(parts.data, "data", "qalto.fb.ProgramData");
  EXPECT_NE(data.find("\"fnp_sram_size\": 1234"), std::string::npos) << data;
  // The first word of A's first track: tag 0xA0, track 0, index 0 (after the 2-word header).
  EXPECT_NE(data.find(std::to_string(0xA0000000u)), std::string::npos) << data;
  EXPECT_NE(data.find("\"dummy_desc_hdr\""), std::string::npos) << data;
}

}  // namespace
}  // namespace qalto
