#include "qalto/program_info.hpp"

#include <flatbuffers/flatbuffers.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "program_generated.h"

namespace qalto {

namespace {

constexpr size_t kPrefixBytes = sizeof(flatbuffers::uoffset_t);
constexpr uint64_t kWordBytes = 4;
constexpr uint64_t kWordBits = 32;
// Bits per value when a program leaves the width out (the field's default 0).
constexpr uint64_t kDefaultInputBits = 8;
constexpr uint64_t kDefaultOutputBits = 32;
// Shapes hold at most this many dimensions.
constexpr size_t kMaxDims = 4;

[[noreturn]] void refuse(const std::string& reason) {
  throw std::invalid_argument("Invalid program: " + reason + ".");
}

uint32_t read_prefix(const uint8_t* at) {
  return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
         (uint32_t{at[3]} << 24);
}

template <typename Root>
const Root* verified_root(const uint8_t* data, size_t size, const char* part) {
  // The verifier asserts below this limit instead of failing, so check it first.
  if (size >= FLATBUFFERS_MAX_BUFFER_SIZE) refuse(std::string("the ") + part + " part is too large");
  flatbuffers::Verifier verifier(data, size);
  if (!verifier.VerifySizePrefixedBuffer<Root>(nullptr)) {
    refuse(std::string("the ") + part + " part does not verify");
  }
  return flatbuffers::GetSizePrefixedRoot<Root>(data);
}

// Product of the dimensions, refused when it leaves 64 bits.
uint64_t elements(const flatbuffers::Vector<uint32_t>* dims, const char* name) {
  if (!dims || dims->size() == 0 || dims->size() > kMaxDims) {
    refuse(std::string("the ") + name + " dimensions must hold 1 to 4 values");
  }
  uint64_t product = 1;
  for (const uint32_t d : *dims) {
    if (d != 0 && product > std::numeric_limits<uint64_t>::max() / d) {
      refuse(std::string("the ") + name + " dimensions overflow 64 bits");
    }
    product *= d;
  }
  return product;
}

// Bytes of `count` values of `bits` bits, rounded up to whole words.
uint64_t word_bytes(uint64_t count, uint64_t bits, const char* name) {
  const unsigned __int128 total_bits = static_cast<unsigned __int128>(count) * bits;
  const unsigned __int128 bytes = (total_bits + kWordBits - 1) / kWordBits * kWordBytes;
  if (bytes > std::numeric_limits<uint64_t>::max()) {
    refuse(std::string("the ") + name + " size overflows 64 bits");
  }
  return static_cast<uint64_t>(bytes);
}

void check_span(uint32_t offset, uint32_t words, size_t data_size, const char* what) {
  if (uint64_t{offset} + uint64_t{words} * kWordBytes > data_size) {
    refuse(std::string("a ") + what + " span lies outside the data part");
  }
}

void check_record_spans(const fb::RecordSpans& spans, const fb::Record& record,
                        size_t data_size) {
  const auto* tracks = spans.tracks();
  const size_t data_tracks = record.tracks() ? record.tracks()->size() : 0;
  if ((tracks ? tracks->size() : 0) != data_tracks) {
    refuse("a record's spans disagree with its tracks");
  }
  if (tracks) {
    for (const fb::TrackSpan* span : *tracks) check_span(span->offset(), span->size(), data_size, "track");
  }
  if ((spans.fnp2_filters() != nullptr) != (record.fnp2_filters() != nullptr)) {
    refuse("a record's FNP2 filters span disagrees with its data");
  }
  if (const fb::Fnp2Span* fnp2 = spans.fnp2_filters()) {
    check_span(fnp2->offset(), fnp2->size(), data_size, "FNP2 filters");
  }
}

}  // namespace

ProgramInfo::ProgramInfo(const uint8_t* data, size_t size) {
  if (!data) refuse("no bytes");
  if (size < kPrefixBytes) refuse("the bytes are too short to hold the information size");
  const uint64_t info_size = kPrefixBytes + uint64_t{read_prefix(data)};
  if (info_size + kPrefixBytes > size) {
    refuse("the information part runs past the end of the bytes");
  }
  // Both parts are read in place, and flatbuffers reads a table at its natural alignment: a
  // data part that starts off a word boundary would be read misaligned. The writer always
  // gives the information part whole words.
  if (info_size % kWordBytes != 0) refuse("the information part is not a whole number of words");
  info_size_ = static_cast<size_t>(info_size);
  data_size_ = size - info_size_;
  data_part_ = data + info_size_;
  info_ = verified_root<fb::ProgramInfo>(data, info_size_, "information");
  data_ = verified_root<fb::ProgramData>(data_part_, data_size_, "data");
  check_fields();
  compute_figures();
}

void ProgramInfo::check_fields() const {
  const fb::ProgramInfo& info = *info_;
  const fb::ProgramData& data = *data_;
  if (!info.version() || !info.device_version() || !info.pass_spans() ||
      !info.dummy_desc_hdr()) {
    refuse("the information part lacks a field every program holds");
  }
  if (!data.passes() || !data.dummy_desc_hdr()) {
    refuse("the data part lacks a field every program holds");
  }
  const auto& pass_spans = *info.pass_spans();
  const auto& passes = *data.passes();
  if (pass_spans.size() != passes.size()) refuse("the pass spans disagree with the passes");
  for (flatbuffers::uoffset_t p = 0; p < passes.size(); ++p) {
    const auto* spans = pass_spans.Get(p)->records();
    const auto* records = passes.Get(p)->records();
    if (!spans || !records || spans->size() != records->size()) {
      refuse("a pass's record spans disagree with its records");
    }
    for (flatbuffers::uoffset_t r = 0; r < records->size(); ++r) {
      check_record_spans(*spans->Get(r), *records->Get(r), data_size_);
    }
  }
  const fb::LearningLayerInfo* learning = info.learning_layer();
  if ((learning != nullptr) != (data.learning_layer() != nullptr)) {
    refuse("the learning layer information disagrees with the data part");
  }
  if (learning) {
    if (!learning->registers_1() || !learning->registers_2() || !learning->weights()) {
      refuse("the learning layer information is incomplete");
    }
    check_span(learning->registers_1()->offset(), learning->registers_1()->size(), data_size_,
               "learning register");
    check_span(learning->registers_2()->offset(), learning->registers_2()->size(), data_size_,
               "learning register");
    const fb::RecordSpans& weights = *learning->weights();
    if (const auto* tracks = weights.tracks()) {
      for (const fb::TrackSpan* span : *tracks) {
        check_span(span->offset(), span->size(), data_size_, "learning weights");
      }
    }
    if (const fb::Fnp2Span* fnp2 = weights.fnp2_filters()) {
      check_span(fnp2->offset(), fnp2->size(), data_size_, "learning weights");
    }
  }
  check_span(info.dummy_desc_hdr()->offset(), info.dummy_desc_hdr()->size(), data_size_,
             "dummy descriptor header");
}

void ProgramInfo::compute_figures() {
  const fb::ProgramInfo& info = *info_;
  const uint64_t input_bits = info.input_bits() ? info.input_bits() : kDefaultInputBits;
  const uint64_t output_bits = info.output_bits() ? info.output_bits() : kDefaultOutputBits;
  input_ = word_bytes(elements(info.input_dims(), "input"), input_bits, "input");
  output_ = word_bytes(elements(info.output_dims(), "output"), output_bits, "output");

  // At most 2^32 spans of 2^32 words each per list: the sums stay far below 2^64.
  uint64_t extra_words = 0;
  for (const fb::PassSpans* pass : *info.pass_spans()) {
    if (const auto* stores = pass->skipdma_stores()) {
      for (const fb::SkipDmaSpan* store : *stores) extra_words += store->size();
    }
  }
  if (const fb::LearningLayerInfo* learning = info.learning_layer()) {
    const fb::RecordSpans& weights = *learning->weights();
    if (const fb::Fnp2Span* fnp2 = weights.fnp2_filters()) {
      extra_words += fnp2->size();
    } else if (weights.tracks()) {
      for (const fb::TrackSpan* span : *weights.tracks()) extra_words += span->size();
    }
  }
  extra_ = extra_words * kWordBytes;
  descriptors_ = uint64_t{info.max_descriptors()} * info.pass_spans()->size() *
                 ProgramInfo::dma_descriptor_bytes;
}

uint64_t input_memory_required(const ProgramInfo& program) { return program.input_; }

uint64_t input_descriptor_memory_required(const ProgramInfo&) {
  return ProgramInfo::dma_descriptor_bytes;
}

uint64_t output_memory_required(const ProgramInfo& program) { return program.output_; }

uint64_t program_data_memory_required(const ProgramInfo& program) {
  return program.data_part_size();
}

uint64_t extra_program_memory_required(const ProgramInfo& program) { return program.extra_; }

uint64_t program_descriptors_memory_required(const ProgramInfo& program) {
  return program.descriptors_;
}

}  // namespace qalto
