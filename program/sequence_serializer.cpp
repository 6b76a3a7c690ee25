#include "program/sequence_serializer.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "mapping/layer_mapping.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

namespace {

constexpr uint32_t kHeaderSpanWords = 2;
constexpr uint32_t kWordBits = 32;

// Runs `work`; an exception of a recorder (or of writing its record) is reported as a failed
// status of `layer`. Memory and length errors are not the layer's fault and pass unchanged.
template <typename Work>
auto as_layer_status(const Layer& layer, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::length_error&) {
    throw;
  } catch (const std::exception& error) {
    MappingStatus(layer, std::string("Error: ") + error.what() + ".").throw_exception();
  }
}

fb::NpIdent np_ident(const hw::Ident& ident) { return fb::NpIdent(ident.col, ident.row, ident.id); }

uint32_t byte_position(const void* at, const uint8_t* data) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(at) - data);
}

fb::TrackSpan words_span(const flatbuffers::Vector<uint32_t>* words, const uint8_t* data) {
  return fb::TrackSpan(byte_position(words->data(), data), words->size());
}

// A register record of a learning program is described by the span of its single track.
void check_register_record(const program::RecordPtr& record, const char* name) {
  if (!record) throw std::runtime_error(std::string("The learning program has no ") + name + " record");
  if (record->tracks.size() != 1 || record->fnp2_filters) {
    throw std::runtime_error(std::string("The learning program's ") + name +
                             " record must hold exactly one track and no FNP2 filters, it holds " +
                             std::to_string(record->tracks.size()) + " tracks");
  }
}

void check_learning_records(const program::LearnRecordsPtr& records) {
  check_register_record(records.registers_1, "registers_1");
  check_register_record(records.registers_2, "registers_2");
  if (!records.weights) throw std::runtime_error("The learning program has no weights record");
  // With FNP2 filters the filters describe the weights; otherwise the single track does.
  if (!records.weights->fnp2_filters && records.weights->tracks.size() != 1) {
    throw std::runtime_error(
        "The learning program's weights record must hold FNP2 filters or exactly one track, "
        "it holds " +
        std::to_string(records.weights->tracks.size()) + " tracks");
  }
}

// Replaces a mapping's layer_id with its prev_pass_layer_id for as long as it lives.
class LayerIdSwap {
 public:
  explicit LayerIdSwap(LayerMapping& mapping) : mapping_(mapping), saved_(mapping.layer_id) {
    mapping_.layer_id = mapping_.prev_pass_layer_id;
  }
  ~LayerIdSwap() { mapping_.layer_id = saved_; }
  LayerIdSwap(const LayerIdSwap&) = delete;
  LayerIdSwap& operator=(const LayerIdSwap&) = delete;

 private:
  LayerMapping& mapping_;
  uint8_t saved_;
};

// Words a skip-DMA engine moves for a (d0, d1, d2) map of `bits`-bit values whose `packed`
// dimension is packed into 32-bit words.
uint32_t skipdma_words(const Layer& layer, const Shape& shape, uint8_t bits, size_t packed) {
  if (shape.size() < 3) {
    throw std::runtime_error("Skip-DMA layer '" + layer.get_name() +
                             "' must have a 3-dimensional shape.");
  }
  uint64_t words = (uint64_t{bits} * shape[packed] + kWordBits - 1) / kWordBits;
  for (size_t i = 0; i < 3; ++i) {
    if (i != packed) words *= shape[i];
  }
  if (words > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("Skip-DMA transfer of layer '" + layer.get_name() +
                             "' does not fit 32 bits.");
  }
  return static_cast<uint32_t>(words);
}

fb::SkipDmaIdent skipdma_ident(const hw::Ident& ident) {
  return fb::SkipDmaIdent(ident.col, ident.row, ident.id, ident.channel);
}

struct SkipDmaSpans {
  std::vector<fb::SkipDmaSpan> stores;
  std::vector<fb::SkipDmaSpan> loads;
};

// The channel record of a skip-DMA component. Without one the span would say distance 0 on
// channel 0, a channel another layer may use, so the program is refused instead.
template <typename Info>
const Info& channel_record(const Layer& layer, const std::unique_ptr<Info>& record,
                           const char* what) {
  if (!record) {
    throw std::runtime_error("The skip-DMA " + std::string(what) + " of layer '" +
                             layer.get_name() + "' has no channel record.");
  }
  return *record;
}

// Every store must be the plain or the dual-output one: any other would be left out of the
// spans while the hardware still runs it.
void require_described_stores(const Layer& layer, const LayerMapping& mapping) {
  const size_t described = (mapping.skipdma_store() != nullptr ? 1 : 0) +
                           (mapping.skipdma_store_dual_output() != nullptr ? 1 : 0);
  if (mapping.skipdma_stores.size() > described) {
    throw std::runtime_error("Layer '" + layer.get_name() + "' has " +
                             std::to_string(mapping.skipdma_stores.size()) +
                             " skip-DMA stores, but channel records for only " +
                             std::to_string(described) + ".");
  }
}

void add_layer_skipdma_spans(const Layer& layer, const LayerMapping& mapping, SkipDmaSpans& spans) {
  const bool tnp_b = layer.is_target_component(ComponentKind::TNP_B);
  require_described_stores(layer, mapping);
  if (const hw::Component* store = mapping.skipdma_store()) {
    const SkipDmaStoreChannelInfo& info =
        channel_record(layer, mapping.skipdma_store_channel, "store");
    // A TNP-B stores its own input (the buffered frames), other layers their output.
    const uint32_t size = tnp_b ? skipdma_words(layer, layer.input_dimensions().at(0),
                                                layer.input_bits(), 2)
                                : skipdma_words(layer, layer.output_dimensions(),
                                                layer.output_bits(), 2);
    spans.stores.emplace_back(skipdma_ident(store->ident), tnp_b, info.distance, info.channel,
                              size);
  }
  if (const hw::Component* store = mapping.skipdma_store_dual_output()) {
    const SkipDmaStoreChannelInfo& info =
        channel_record(layer, mapping.skipdma_store_dual_output_channel, "dual-output store");
    const uint32_t size = skipdma_words(layer, layer.input_dimensions().at(0),
                                        layer.input_bits(), tnp_b ? 2 : 0);
    spans.stores.emplace_back(skipdma_ident(store->ident), 0, info.distance, info.channel, size);
  }
  if (const hw::Component* load = mapping.skipdma_load()) {
    const SkipDmaLoadChannelInfo& info = channel_record(layer, mapping.skipdma_load_channel, "load");
    spans.loads.emplace_back(skipdma_ident(load->ident), tnp_b, info.distance, info.store_channel,
                             0);
  }
}

SkipDmaSpans pass_skipdma_spans(const Sequence::Pass& pass) {
  SkipDmaSpans spans;
  for (const auto& layer : pass.layers) {
    if (!layer) continue;
    if (const auto mapping = layer_mapping_of(*layer)) {
      add_layer_skipdma_spans(*layer, *mapping, spans);
    }
  }
  return spans;
}

flatbuffers::Offset<fb::RecordSpans> record_spans(flatbuffers::FlatBufferBuilder& builder,
                                                  const fb::Record& record, const uint8_t* data) {
  std::vector<fb::TrackSpan> tracks;
  if (const auto* np_tracks = record.tracks()) {
    for (const fb::NpTrack* track : *np_tracks) tracks.push_back(words_span(track->words(), data));
  }
  const auto tracks_offset = builder.CreateVectorOfStructs(tracks);
  fb::RecordSpansBuilder spans(builder);
  spans.add_tracks(tracks_offset);
  fb::Fnp2Span fnp2;
  if (const auto* filters = record.fnp2_filters()) {
    const fb::TrackSpan span = words_span(filters->words(), data);
    fnp2 = fb::Fnp2Span(span.offset(), span.size(), *filters->ident());
    spans.add_fnp2_filters(&fnp2);
  }
  return spans.Finish();
}

}  // namespace

uint64_t format_config_header_fb(const hw::Ident& ident, dma::Target target, uint32_t length,
                                 uint16_t offset) {
  uint32_t words[kHeaderSpanWords];
  dma::format_config_header(words, ident, target, length, offset, false);
  return uint64_t{words[0]} | (uint64_t{words[1]} << 32);
}

SequenceSerializer::SequenceSerializer(const LayerRecorder& layer_recorder,
                                       const IoRecorder& io_recorder)
    : data_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(kProgramBuilderInitialSize)),
      info_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(kProgramBuilderInitialSize)),
      learning_layer(std::make_unique<flatbuffers::Offset<fb::LearningLayer>>(0)),
      dummy_desc_hdr(std::make_unique<uint64_t>(0)),
      layer_recorder(layer_recorder),
      io_recorder(io_recorder) {}

void SequenceSerializer::serialize_version(const HwVersion& version) {
  device_version = std::make_unique<flatbuffers::Offset<fb::DeviceVersion>>(
      fb::CreateDeviceVersion(*info_builder, version.vendor_id, version.product_id,
                              version.major_rev, version.minor_rev));
}

SequenceSerializer::RecordOffset SequenceSerializer::serialize_record(
    const program::Record& record) {
  flatbuffers::FlatBufferBuilder& b = *data_builder;
  std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
  tracks.reserve(record.tracks.size());
  for (const program::NpTrack& track : record.tracks) {
    tracks.push_back(fb::CreateNpTrack(b, b.CreateVector(track.words())));
  }
  flatbuffers::Offset<fb::Fnp2FiltersTrack> fnp2;
  if (record.fnp2_filters) {
    const auto words = b.CreateVector(record.fnp2_filters->words);
    const fb::NpIdent ident = np_ident(record.fnp2_filters->ident);
    fnp2 = fb::CreateFnp2FiltersTrack(b, &ident, words);
  }
  return fb::CreateRecord(b, b.CreateVector(tracks), fnp2);
}

bool SequenceSerializer::serialize_scc_program(bool b1, bool b2, bool b3, bool b4, bool b5,
                                               Shape input, Shape output) {
  const program::RecordPtr record = io_recorder.record_scc(b1, b2, b3, b4, b5, input, output);
  if (!record) throw std::runtime_error("The input-stage recorder returned no record.");
  pass_records.push_back(serialize_record(*record));
  return true;
}

std::pair<size_t, SequenceSerializer::RecordOffset> SequenceSerializer::serialize_layer(
    const Layer& layer, const Layer& first, const LayerPtr& next, bool ib_spikes,
    bool partial_reconfig, const std::vector<hw::Ident>& skip, bool registers_only,
    bool output_format_flag) {
  return as_layer_status(layer, [&]() -> std::pair<size_t, RecordOffset> {
    const program::RecordPtr record =
        layer_recorder.record_layer(layer, &first, next, ib_spikes, partial_reconfig, skip,
                                    registers_only, output_format_flag);
    if (!record) throw std::runtime_error("The layer recorder returned no record");
    return {record->tracks.size(), serialize_record(*record)};
  });
}

size_t SequenceSerializer::serialize_layer_program(const Layer& layer, const Layer& first,
                                                   const LayerPtr& next, bool ib_spikes,
                                                   bool partial_reconfig,
                                                   const std::vector<hw::Ident>& skip,
                                                   bool registers_only, bool output_format_flag) {
  const auto [tracks, offset] = serialize_layer(layer, first, next, ib_spikes, partial_reconfig,
                                                skip, registers_only, output_format_flag);
  pass_records.push_back(offset);
  return tracks;
}

size_t SequenceSerializer::serialize_learning_layer_program(const Layer& layer, bool ib_spikes) {
  struct Written {
    RecordOffset registers_1, registers_2, weights;
    size_t tracks;
    uint32_t fnp_sram_size;
  };
  const Written written = as_layer_status(layer, [&]() -> Written {
    // The program information has room for one learning layer only.
    if (learning_layer->o != 0) {
      throw std::runtime_error("Only one learning layer is supported in a sequence");
    }
    const program::LearnRecordsPtr records = layer_recorder.record_learning_layer(layer, ib_spikes);
    check_learning_records(records);
    Written w;
    w.registers_1 = serialize_record(*records.registers_1);
    w.registers_2 = serialize_record(*records.registers_2);
    w.weights = serialize_record(*records.weights);
    w.tracks = records.registers_2->tracks.size() + records.weights->tracks.size();
    w.fnp_sram_size = records.fnp_sram_size;
    return w;
  });
  static const std::vector<hw::Component> no_components;
  const auto mapping = layer.mapping();
  const std::vector<hw::Component>& components =
      mapping && mapping->components ? *mapping->components : no_components;
  const fb::NpIdent ident = np_ident(components.at(0).ident);
  *learning_layer =
      fb::CreateLearningLayer(*data_builder, &ident, written.registers_1, written.registers_2,
                              written.weights, written.fnp_sram_size);
  return written.tracks;
}

size_t SequenceSerializer::serialize_unused_nps_program(const LayerPtr& layer,
                                                        const LayerPtr& first,
                                                        const std::vector<hw::Ident>& used) {
  const auto mapping = layer ? layer_mapping_of(*layer) : nullptr;
  if (!mapping || !first) {
    throw std::runtime_error("The unused-NPs program needs a mapped layer and a first layer.");
  }
  const LayerIdSwap swap(*mapping);
  return serialize_layer_program(*layer, *first, layer, false, false, used, true, false);
}

void SequenceSerializer::finalize_pass() {
  passes.push_back(fb::CreatePass(*data_builder, data_builder->CreateVector(pass_records)));
  pass_records.clear();
}

void SequenceSerializer::serialize_epg_tracks(const Layer& layer, uint8_t lo, uint8_t hi,
                                              uint8_t n, bool b1, bool b2, bool b3) {
  for (const EpgRegister& reg : io_recorder.record_epg(layer, lo, hi, n, b1, b2, b3)) {
    epg_registers.emplace_back(reg.first, reg.second);
  }
}

void SequenceSerializer::record_dummy_desc_hdr(bool multi_pass) {
  if (!multi_pass) return;
  *dummy_desc_hdr = format_config_header_fb(hw::Ident{}, dma::Target::HrcRegisters, 1, 0);
}

flatbuffers::Offset<fb::PassSpans> SequenceSerializer::serialize_pass(const fb::Pass& data_pass,
                                                                      const Sequence::Pass& pass,
                                                                      const uint8_t* data) {
  flatbuffers::FlatBufferBuilder& b = *info_builder;
  std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
  if (const auto* data_records = data_pass.records()) {
    for (const fb::Record* record : *data_records) records.push_back(record_spans(b, *record, data));
  }
  const SkipDmaSpans skipdma = pass_skipdma_spans(pass);
  const auto records_offset = b.CreateVector(records);
  const auto stores = skipdma.stores.empty() ? 0 : b.CreateVectorOfStructs(skipdma.stores);
  const auto loads = skipdma.loads.empty() ? 0 : b.CreateVectorOfStructs(skipdma.loads);
  return fb::CreatePassSpans(b, records_offset, stores, loads);
}

flatbuffers::Offset<fb::LearningLayerInfo> SequenceSerializer::serialize_learning_info(
    const fb::LearningLayer& learning, const uint8_t* data) {
  flatbuffers::FlatBufferBuilder& b = *info_builder;
  const auto first_track = [&](const fb::Record* record) {
    return words_span(record->tracks()->Get(0)->words(), data);
  };
  const fb::TrackSpan registers_1 = first_track(learning.registers_1());
  const fb::TrackSpan registers_2 = first_track(learning.registers_2());
  const fb::Record* weights = learning.weights();
  flatbuffers::Offset<fb::RecordSpans> weights_spans;
  if (const auto* filters = weights->fnp2_filters()) {
    const fb::TrackSpan span = words_span(filters->words(), data);
    const fb::Fnp2Span fnp2(span.offset(), span.size(), *filters->ident());
    fb::RecordSpansBuilder spans(b);
    spans.add_fnp2_filters(&fnp2);
    weights_spans = spans.Finish();
  } else {
    const std::vector<fb::TrackSpan> tracks{first_track(weights)};
    weights_spans = fb::CreateRecordSpans(b, b.CreateVectorOfStructs(tracks));
  }
  return fb::CreateLearningLayerInfo(b, &registers_1, &registers_2, weights_spans,
                                     learning.ident());
}

void SequenceSerializer::finalize(
    const char* version, const Shape& input_shape, const Shape& output_shape, int8_t input_type,
    int8_t output_type, uint8_t output_bits, bool output_activation, uint32_t hrc_param_1,
    uint32_t hrc_param_0, const std::vector<int32_t>& output_shift,
    const std::vector<float>& output_scales, uint8_t max_descriptors,
    std::vector<uint8_t>* program, const std::vector<std::shared_ptr<Sequence::Pass>>& sequence_passes,
    uint8_t input_bits, bool input_signed, bool channels_first,
    const std::vector<float>& input_scales, const std::vector<uint8_t>& input_zero_points,
    bool mivo_post_processing) {
  if (finalized) throw std::logic_error("The program is already finalised.");
  if (!device_version) throw std::logic_error("The device version must be serialised first.");
  if (sequence_passes.size() != passes.size()) {
    throw std::logic_error("The program holds " + std::to_string(passes.size()) +
                           " passes but " + std::to_string(sequence_passes.size()) +
                           " were given.");
  }
  for (const auto& pass : sequence_passes) {
    if (!pass) throw std::logic_error("A pass of the sequence is missing.");
  }
  if (!program) throw std::logic_error("No destination for the program.");
  finalized = true;

  // 1. The data buffer, finished first so that the spans can be read from it.
  const fb::ConfigHeader dummy(static_cast<uint32_t>(*dummy_desc_hdr),
                               static_cast<uint32_t>(*dummy_desc_hdr >> 32));
  const auto root = fb::CreateProgramData(*data_builder, data_builder->CreateVector(passes),
                                          *learning_layer, &dummy);
  data_builder->FinishSizePrefixed(root);
  const std::vector<uint8_t> data_part(data_builder->GetBufferPointer(),
                                       data_builder->GetBufferPointer() + data_builder->GetSize());
  const uint8_t* data = data_part.data();
  const fb::ProgramData* data_root = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data);

  // 2.-4. Spans of the information buffer.
  std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
  const auto* data_passes = data_root->passes();
  for (flatbuffers::uoffset_t i = 0; i < data_passes->size(); ++i) {
    pass_spans.push_back(serialize_pass(*data_passes->Get(i), *sequence_passes[i], data));
  }
  flatbuffers::Offset<fb::LearningLayerInfo> learning_info;
  if (const auto* learning = data_root->learning_layer()) {
    learning_info = serialize_learning_info(*learning, data);
  }
  const fb::TrackSpan dummy_span(byte_position(data_root->dummy_desc_hdr(), data),
                                 kHeaderSpanWords);

  // 5.-6. The information root.
  const std::vector<uint32_t> input_dims = input_shape.to_vector();
  const std::vector<uint32_t> output_dims = output_shape.to_vector();
  const auto info_root = fb::CreateProgramInfoDirect(
      *info_builder, version ? version : "", *device_version, &input_dims, &output_dims,
      static_cast<fb::IoType>(input_type), static_cast<fb::IoType>(output_type), output_bits,
      output_activation, hrc_param_1, hrc_param_0, &output_shift, &output_scales,
      max_descriptors, epg_registers.empty() ? nullptr : &epg_registers, &pass_spans,
      learning_info, &dummy_span, input_bits, input_signed, channels_first, &input_scales,
      &input_zero_points, mivo_post_processing);
  info_builder->FinishSizePrefixed(info_root);

  // 7. Information bytes, then data bytes.
  const uint8_t* info = info_builder->GetBufferPointer();
  program->assign(info, info + info_builder->GetSize());
  program->insert(program->end(), data_part.begin(), data_part.end());
}

}  // namespace qalto
