// The engine's program reader: memory figures of a program built with the flatbuffers builder,
// and bytes that are not a program refused without reading past them.

#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "program_generated.h"
#include "qalto/program_info.hpp"

namespace qalto {
namespace {

// What the test program holds; the defaults give the program of FiguresFollowTheFields.
struct Layout {
  std::vector<uint32_t> input_dims{4, 4, 2};
  std::vector<uint32_t> output_dims{1, 1, 10};
  uint8_t input_bits = 4;
  uint8_t output_bits = 0;
  uint8_t max_descriptors = 5;
  bool learning = true;
  bool drop_last_pass_span = false;
  bool drop_version = false;
  uint32_t track_offset_shift = 0;  // moves the first track span by this many bytes
};

fb::TrackSpan span_of(const flatbuffers::Vector<uint32_t>* words, const uint8_t* data) {
  return fb::TrackSpan(static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(words->data()) - data),
                       words->size());
}

std::vector<uint8_t> build_program(const Layout& layout) {
  // Data part: pass 0 has one record of two tracks (3 and 5 words), pass 1 one record with a
  // two-word track and four FNP2 filter words; the learning weights are one 7-word track.
  flatbuffers::FlatBufferBuilder data(1024);
  auto track = [&](size_t n) {
    return fb::CreateNpTrack(data, data.CreateVector(std::vector<uint32_t>(n, 0xA5A5A5A5u)));
  };
  auto record0 = fb::CreateRecord(data, data.CreateVector(std::vector{track(3), track(5)}));
  const fb::NpIdent fnp2_ident(1, 2, 3);
  auto filters = fb::CreateFnp2FiltersTrack(data, &fnp2_ident,
                                            data.CreateVector(std::vector<uint32_t>(4, 7)));
  auto record1 = fb::CreateRecord(data, data.CreateVector(std::vector{track(2)}), filters);
  auto pass0 = fb::CreatePass(data, data.CreateVector(std::vector{record0}));
  auto pass1 = fb::CreatePass(data, data.CreateVector(std::vector{record1}));
  flatbuffers::Offset<fb::LearningLayer> learning;
  if (layout.learning) {
    auto one_track = [&](size_t n) {
      return fb::CreateRecord(data, data.CreateVector(std::vector{track(n)}));
    };
    const fb::NpIdent ident(0, 1, 0);
    learning = fb::CreateLearningLayer(data, &ident, one_track(1), one_track(1), one_track(7), 64);
  }
  const fb::ConfigHeader dummy(0, 0);
  data.FinishSizePrefixed(
      fb::CreateProgramData(data, data.CreateVector(std::vector{pass0, pass1}), learning, &dummy));
  const uint8_t* d = data.GetBufferPointer();
  const auto* root = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(d);

  // Information part, its spans read back from the finished data part.
  flatbuffers::FlatBufferBuilder info(1024);
  std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
  for (const fb::Pass* pass : *root->passes()) {
    std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
    for (const fb::Record* record : *pass->records()) {
      std::vector<fb::TrackSpan> tracks;
      for (const fb::NpTrack* t : *record->tracks()) tracks.push_back(span_of(t->words(), d));
      if (pass_spans.empty() && records.empty()) {
        tracks[0] = fb::TrackSpan(tracks[0].offset() + layout.track_offset_shift, tracks[0].size());
      }
      const auto tracks_offset = info.CreateVectorOfStructs(tracks);
      fb::RecordSpansBuilder spans(info);
      spans.add_tracks(tracks_offset);
      fb::Fnp2Span fnp2;
      if (const auto* f = record->fnp2_filters()) {
        const fb::TrackSpan s = span_of(f->words(), d);
        fnp2 = fb::Fnp2Span(s.offset(), s.size(), *f->ident());
        spans.add_fnp2_filters(&fnp2);
      }
      records.push_back(spans.Finish());
    }
    std::vector<fb::SkipDmaSpan> stores;
    if (pass_spans.empty()) {
      stores.emplace_back(fb::SkipDmaIdent(1, 1, 9, 0), 0, 1, 0, 10);
      stores.emplace_back(fb::SkipDmaIdent(1, 1, 9, 1), 1, 1, 1, 6);
    }
    const std::vector<fb::SkipDmaSpan> loads{fb::SkipDmaSpan(fb::SkipDmaIdent(2, 1, 9, 0), 0, 1, 0, 0)};
    pass_spans.push_back(fb::CreatePassSpans(info, info.CreateVector(records),
                                             stores.empty() ? 0 : info.CreateVectorOfStructs(stores),
                                             info.CreateVectorOfStructs(loads)));
  }
  if (layout.drop_last_pass_span) pass_spans.pop_back();
  flatbuffers::Offset<fb::LearningLayerInfo> learning_info;
  if (const auto* l = root->learning_layer()) {
    const fb::TrackSpan r1 = span_of(l->registers_1()->tracks()->Get(0)->words(), d);
    const fb::TrackSpan r2 = span_of(l->registers_2()->tracks()->Get(0)->words(), d);
    const std::vector<fb::TrackSpan> w{span_of(l->weights()->tracks()->Get(0)->words(), d)};
    learning_info = fb::CreateLearningLayerInfo(
        info, &r1, &r2, fb::CreateRecordSpans(info, info.CreateVectorOfStructs(w)), l->ident());
  }
  const fb::TrackSpan dummy_span(
      static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(root->dummy_desc_hdr()) - d), 2);
  const std::vector<int32_t> shifts{0};
  const std::vector<float> scales{1.0f};
  const std::vector<uint8_t> zero_points{0};
  auto device = fb::CreateDeviceVersion(info, 0xBC, 0xA2, 1, 0);
  info.FinishSizePrefixed(fb::CreateProgramInfoDirect(
      info, layout.drop_version ? nullptr : "2.0.0", device, &layout.input_dims,
      &layout.output_dims, fb::IoType::Type0, fb::IoType::NoEpg, layout.output_bits, false, 0, 0,
      &shifts, &scales, layout.max_descriptors, nullptr, &pass_spans, learning_info, &dummy_span,
      layout.input_bits, false, false, &scales, &zero_points, false));

  std::vector<uint8_t> program(info.GetBufferPointer(), info.GetBufferPointer() + info.GetSize());
  program.insert(program.end(), d, d + data.GetSize());
  return program;
}

size_t data_part_size(const std::vector<uint8_t>& program) {
  const uint32_t info = flatbuffers::ReadScalar<uint32_t>(program.data());
  return program.size() - 4 - info;
}

TEST(ProgramInfoFigures, FiguresFollowTheFields) {
  const auto program = build_program({});
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(input_memory_required(info), 16u);              // 32 values of 4 bits
  EXPECT_EQ(input_descriptor_memory_required(info), 16u);   // one descriptor
  EXPECT_EQ(output_memory_required(info), 40u);             // 10 potentials of 32 bits
  EXPECT_EQ(program_data_memory_required(info), data_part_size(program));
  EXPECT_EQ(extra_program_memory_required(info), (10u + 6u + 7u) * 4u);  // skip DMA + learning
  EXPECT_EQ(program_descriptors_memory_required(info), 5u * 2u * 16u);
  EXPECT_EQ(info.info_part_size() + info.data_part_size(), program.size());
}

TEST(ProgramInfoFigures, WidthsRoundUpToWordsAndLearningIsOptional) {
  Layout layout;
  layout.input_dims = {3, 1, 1};   // 3 values of 8 bits (width left out): one word
  layout.input_bits = 0;
  layout.output_dims = {5};        // 5 values of 7 bits = 35 bits: two words
  layout.output_bits = 7;
  layout.learning = false;
  layout.max_descriptors = 0;
  const auto program = build_program(layout);
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(input_memory_required(info), 4u);
  EXPECT_EQ(output_memory_required(info), 8u);
  EXPECT_EQ(extra_program_memory_required(info), 16u * 4u);
  EXPECT_EQ(program_descriptors_memory_required(info), 0u);
}

TEST(ProgramInfoFigures, HugeDimensionsAreComputedIn64BitsOrRefused) {
  Layout layout;
  layout.input_dims = {0xFFFFFFFFu, 0xFFFFFFFFu};  // fits 64 bits; times 4 bits still does
  const auto fits = build_program(layout);
  const ProgramInfo info(fits.data(), fits.size());
  // p values of 4 bits: ceil(p / 8) words of 4 bytes, although 4 * p bits exceed 64 bits.
  const uint64_t p = uint64_t{0xFFFFFFFFu} * 0xFFFFFFFFu;
  EXPECT_EQ(input_memory_required(info), (p + 7) / 8 * 4);
  layout.input_dims = {0xFFFFFFFFu, 0xFFFFFFFFu, 3};
  const auto overflows = build_program(layout);
  EXPECT_THROW(ProgramInfo(overflows.data(), overflows.size()), std::invalid_argument);
}

TEST(ProgramInfoRefusal, EveryTruncationAndTrailingBytesAreRefused) {
  const auto program = build_program({});
  for (size_t size = 0; size < program.size(); ++size) {
    // A copy of exactly `size` bytes, so a read past it is caught by the address sanitizer.
    const std::vector<uint8_t> cut(program.begin(), program.begin() + size);
    EXPECT_THROW(ProgramInfo(cut.data(), cut.size()), std::invalid_argument) << "size " << size;
  }
  auto longer = program;
  longer.push_back(0);
  EXPECT_THROW(ProgramInfo(longer.data(), longer.size()), std::invalid_argument);
  EXPECT_THROW(ProgramInfo(nullptr, 0), std::invalid_argument);
}

TEST(ProgramInfoRefusal, CorruptPrefixesAndOffsetsAreRefused) {
  const auto program = build_program({});
  auto huge = program;
  huge[3] = 0x7F;  // information size far beyond the bytes
  EXPECT_THROW(ProgramInfo(huge.data(), huge.size()), std::invalid_argument);
  auto bad_root = program;
  bad_root[4] = 0xF0;  // root offset of the information buffer
  bad_root[5] = 0xFF;
  EXPECT_THROW(ProgramInfo(bad_root.data(), bad_root.size()), std::invalid_argument);
  try {
    ProgramInfo(huge.data(), huge.size());
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid program: the information part runs past the end of the bytes.");
  }
  // An information part padded by 1 to 3 bytes still verifies, but would leave the data part
  // to be read off its word alignment.
  for (uint8_t pad = 1; pad < 4; ++pad) {
    auto shifted = program;
    shifted[0] = static_cast<uint8_t>(shifted[0] + pad);  // small prefixes: no carry
    const size_t info_end = 4 + (program[0] | program[1] << 8);
    shifted.insert(shifted.begin() + static_cast<std::ptrdiff_t>(info_end), pad, 0);
    try {
      ProgramInfo(shifted.data(), shifted.size());
      ADD_FAILURE() << "pad " << int{pad} << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid program: the information part is not a whole number of words.");
    }
  }
}

TEST(ProgramInfoRefusal, AnySingleByteCorruptionFailsCleanlyOrStillVerifies) {
  const auto program = build_program({});
  size_t refused = 0;
  for (size_t i = 0; i < program.size(); ++i) {
    auto bytes = program;
    bytes[i] ^= 0xFF;
    try {
      const ProgramInfo info(bytes.data(), bytes.size());
      // Whatever still verifies describes spans inside the data part.
      EXPECT_LE(info.data_part_size(), bytes.size());
    } catch (const std::invalid_argument&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0u);
}

TEST(ProgramInfoRefusal, FieldsThatDisagreeWithTheDataAreRefused) {
  Layout missing_pass;
  missing_pass.drop_last_pass_span = true;
  const auto a = build_program(missing_pass);
  EXPECT_THROW(ProgramInfo(a.data(), a.size()), std::invalid_argument);

  Layout no_version;
  no_version.drop_version = true;
  const auto b = build_program(no_version);
  EXPECT_THROW(ProgramInfo(b.data(), b.size()), std::invalid_argument);

  Layout outside;
  outside.track_offset_shift = 1u << 20;
  const auto c = build_program(outside);
  EXPECT_THROW(ProgramInfo(c.data(), c.size()), std::invalid_argument);

  Layout no_dims;
  no_dims.output_dims = {};
  const auto d = build_program(no_dims);
  EXPECT_THROW(ProgramInfo(d.data(), d.size()), std::invalid_argument);
}

}  // namespace
}  // namespace qalto
