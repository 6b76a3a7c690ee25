#pragma once
// Program records: what a generation's recorder makes of one layer (or of the input stage).
//
// A record holds one or more NP tracks. A track is a run of DMA blocks, each a two-word
// configuration header (dma::format_config_header) followed by its payload: a register image,
// weights, variables, a look-up table. The device's configuration DMA walks one track per
// descriptor, so a track is limited to kMaxTrackWords words; a block that does not fit the
// current track opens a new one. The sequence serialiser writes records into the program.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qalto/dma.hpp"
#include "qalto/hw.hpp"

namespace qalto::program {

// Largest number of words one track may hold (headers included): the descriptor's length
// field is 16 bits wide.
inline constexpr size_t kMaxTrackWords = 65535;
// Words of a block header.
inline constexpr size_t kHeaderWords = 2;

// The concatenated blocks of one track.
class NpTrack {
 public:
  // Appends one block for component `ident`: a header for `target` and `offset`, then `words`.
  // When the block needs the XL header its payload is padded with zeros to a multiple of
  // dma::kXlUnitWords. `sized` false writes a length of 0 into the header.
  // Returns false, leaving the track unchanged, when the block needs XL and `xl_allowed` is
  // false, or when the header and the (padded) payload would take the track above
  // kMaxTrackWords. Throws what dma::format_config_header throws, the track unchanged.
  bool append(const hw::Ident& ident, dma::Target target, uint16_t offset,
              const std::vector<uint32_t>& words, bool xl_allowed, bool sized);

  const std::vector<uint32_t>& words() const { return words_; }
  size_t size() const { return words_.size(); }
  bool empty() const { return words_.empty(); }

 private:
  std::vector<uint32_t> words_;
};

// Filter words of an external-memory FNP (FNP2): not sent as a DMA block, stored for the
// device to place in external memory.
struct Fnp2FiltersTrack {
  hw::Ident ident;
  std::vector<uint32_t> words;
};

// The program of one layer or of the input stage, for one hardware version.
struct Record {
  explicit Record(const HwVersion& version) : version(version) {}
  virtual ~Record() = default;
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Appends a block to the last track when `append` is true and a track exists, else to a new
  // track; when it does not fit there (XL not allowed) a further new track takes it with XL
  // allowed. A track opened for a block that did not fit stays, empty. Returns true.
  // Throws std::runtime_error "Error generating NP program." when the block fits no track; the
  // tracks opened so far stay.
  bool add_np_track(const hw::Ident& ident, dma::Target target, uint16_t offset,
                    const std::vector<uint32_t>& words, bool sized, bool append);

  // Sets the FNP2 filters track (a copy of `words`), replacing any previous one.
  void add_fnp2_filters_track(const hw::Ident& ident, const std::vector<uint32_t>& words);

  size_t track_count() const { return tracks.size(); }

  std::vector<NpTrack> tracks;
  std::unique_ptr<Fnp2FiltersTrack> fnp2_filters;
  HwVersion version;
};

using RecordPtr = std::unique_ptr<Record>;

// A new empty record for `version`.
RecordPtr new_record(const HwVersion& version);

// The program of a learning layer: two register-image records, the weights record and the
// size of the FNP SRAM. Members are destroyed in reverse order (weights first).
struct LearnRecordsPtr {
  RecordPtr registers_1;
  RecordPtr registers_2;
  RecordPtr weights;
  uint32_t fnp_sram_size = 0;
};

}  // namespace qalto::program
