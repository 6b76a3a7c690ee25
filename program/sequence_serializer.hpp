#pragma once
// Writes the program of one hardware sequence: a size-prefixed fb::ProgramInfo buffer followed
// by a size-prefixed fb::ProgramData buffer (program/program.fbs).
//
// The sequence builder makes one serialiser per sequence and calls, in this order:
// serialize_version; for each pass the input stage (first pass only), the layer records, the
// unused-NPs record (when another pass follows) and finalize_pass; then serialize_epg_tracks
// (optional), record_dummy_desc_hdr and finalize once. Each record goes into the data buffer as
// soon as the recorder delivers it; the byte spans of the information buffer are computed in
// finalize from the finished data buffer, so they always point at what was really written.
//
// What it reads of the passes: each Sequence::Pass's `layers`; of each layer its
// LayerMapping (mapping/layer_mapping.hpp): skipdma_store(), skipdma_store_dual_output(),
// skipdma_load(), the three skip-DMA channel records, layer_id and prev_pass_layer_id, and the
// component list of Layer::Mapping.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "mapping/generation.hpp"
#include "program/record.hpp"
#include "program_generated.h"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

// Initial capacity of both flatbuffers builders.
inline constexpr size_t kProgramBuilderInitialSize = 1024;

// The two words dma::format_config_header writes for these arguments (no XL), word 0 in the
// low half. Throws what format_config_header throws.
uint64_t format_config_header_fb(const hw::Ident& ident, dma::Target target, uint32_t length,
                                 uint16_t offset);

class SequenceSerializer {
 public:
  using RecordOffset = flatbuffers::Offset<fb::Record>;

  SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder);

  // Writes the device's hardware version into the information buffer; replaces a previous one.
  void serialize_version(const HwVersion& version);

  // Records the input stage (IoRecorder::record_scc with the same arguments) into the current
  // pass. Returns true. Recorder exceptions pass through.
  bool serialize_scc_program(bool b1, bool b2, bool b3, bool b4, bool b5, Shape input,
                             Shape output);

  // Asks the layer recorder for `layer`'s record (arguments passed through in the same order,
  // `first` by address) and writes it. Returns the record's track count (not truncated: the
  // caller counts descriptors without wrapping) and the record's offset.
  // A recorder or writer exception derived from std::exception becomes std::runtime_error
  // "Cannot map layer '<layer>'. Error: <what>."; std::bad_alloc and std::length_error pass
  // through unchanged.
  std::pair<size_t, RecordOffset> serialize_layer(const Layer& layer, const Layer& first,
                                                  const LayerPtr& next, bool ib_spikes,
                                                  bool partial_reconfig,
                                                  const std::vector<hw::Ident>& skip,
                                                  bool registers_only, bool output_format_flag);

  // serialize_layer, then adds the record to the current pass. Returns the track count.
  size_t serialize_layer_program(const Layer& layer, const Layer& first, const LayerPtr& next,
                                 bool ib_spikes, bool partial_reconfig,
                                 const std::vector<hw::Ident>& skip, bool registers_only,
                                 bool output_format_flag);

  // Writes the learning program of `layer` (LayerRecorder::record_learning_layer) as the data
  // buffer's learning layer; its records do not join the current pass. Returns the track
  // counts of registers_2 and weights added up.
  // Refused, as the layer status "Error: <reason>." above: a second learning layer, a missing record,
  // a register record that does not hold exactly one track or holds FNP2 filters, and a
  // weights record without FNP2 filters that does not hold exactly one track (the program
  // information can describe only those). Recorder exceptions are converted the same way.
  // std::out_of_range when the layer's mapping has no component (no learning layer is set).
  size_t serialize_learning_layer_program(const Layer& layer, bool ib_spikes);

  // Records `layer` (the next pass's first hardware layer) on the NPs a pass leaves unused:
  // registers only, skipping `used`, with the mapping's layer_id temporarily replaced by its
  // prev_pass_layer_id (restored however the call ends). Returns the track count.
  // std::runtime_error when the layer has no LayerMapping.
  size_t serialize_unused_nps_program(const LayerPtr& layer, const LayerPtr& first,
                                      const std::vector<hw::Ident>& used);

  // Closes the current pass (possibly without records) and starts the next.
  void finalize_pass();

  // Appends the EPG register values of IoRecorder::record_epg (arguments passed through).
  void serialize_epg_tracks(const Layer& layer, uint8_t lo, uint8_t hi, uint8_t n, bool b1,
                            bool b2, bool b3);

  // With `multi_pass` the dummy descriptor header becomes the header of identifier (0,0,0,0),
  // target 8, length 1, offset 0; otherwise it stays all zero.
  void record_dummy_desc_hdr(bool multi_pass);

  // Writes one record into the data buffer and returns its offset.
  RecordOffset serialize_record(const program::Record& record);

  // Finishes both buffers and stores information bytes then data bytes into `*program`
  // (replacing its content). `passes` must be the passes serialised, in order (their layers
  // give the skip-DMA spans).
  // Throws std::logic_error, writing nothing, when serialize_version has not run, when
  // finalize already ran, or when the number of passes differs from the passes closed with
  // finalize_pass; std::runtime_error when a skip-DMA transfer size does not fit 32 bits, a
  // skip-DMA layer's shape has fewer than 3 dimensions, a skip-DMA store or load lacks its
  // channel record, or a layer has more stores than the plain and dual-output ones.
  void finalize(const char* version, const Shape& input_shape, const Shape& output_shape,
                int8_t input_type, int8_t output_type, uint8_t output_bits,
                bool output_activation, uint32_t hrc_param_1, uint32_t hrc_param_0,
                const std::vector<int32_t>& output_shift, const std::vector<float>& output_scales,
                uint8_t max_descriptors, std::vector<uint8_t>* program,
                const std::vector<std::shared_ptr<Sequence::Pass>>& passes, uint8_t input_bits,
                bool input_signed, bool channels_first, const std::vector<float>& input_scales,
                const std::vector<uint8_t>& input_zero_points, bool mivo_post_processing);

 private:
  flatbuffers::Offset<fb::PassSpans> serialize_pass(const fb::Pass& data_pass,
                                                    const Sequence::Pass& pass,
                                                    const uint8_t* data);
  flatbuffers::Offset<fb::LearningLayerInfo> serialize_learning_info(
      const fb::LearningLayer& learning, const uint8_t* data);

  std::unique_ptr<flatbuffers::FlatBufferBuilder> data_builder;
  std::unique_ptr<flatbuffers::FlatBufferBuilder> info_builder;
  std::unique_ptr<flatbuffers::Offset<fb::DeviceVersion>> device_version;
  std::unique_ptr<flatbuffers::Offset<fb::LearningLayer>> learning_layer;
  std::vector<flatbuffers::Offset<fb::Pass>> passes;
  std::vector<RecordOffset> pass_records;
  std::vector<fb::RegisterValue> epg_registers;
  std::unique_ptr<uint64_t> dummy_desc_hdr;
  const LayerRecorder& layer_recorder;
  const IoRecorder& io_recorder;
  bool finalized = false;
};

}  // namespace qalto
