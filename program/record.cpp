#include "program/record.hpp"

#include <stdexcept>

namespace qalto::program {

bool NpTrack::append(const hw::Ident& ident, dma::Target target, uint16_t offset,
                     const std::vector<uint32_t>& words, bool xl_allowed, bool sized) {
  const size_t payload = words.size();
  const bool xl = dma::config_block_size_needs_xl(payload);
  if (xl && !xl_allowed) return false;
  // The XL header counts 16-word units, so its payload is padded up to a whole unit.
  // Sizes stay in size_t: a payload near the type's limit must be refused, not wrapped.
  const size_t unit = dma::kXlUnitWords;
  const size_t block = xl ? (payload / unit + (payload % unit != 0)) * unit : payload;
  if (block > kMaxTrackWords || words_.size() + kHeaderWords + block > kMaxTrackWords) {
    return false;
  }
  uint32_t header[kHeaderWords];
  dma::format_config_header(header, ident, target, sized ? static_cast<uint32_t>(block) : 0,
                            offset, xl);
  words_.reserve(words_.size() + kHeaderWords + block);
  words_.insert(words_.end(), header, header + kHeaderWords);
  words_.insert(words_.end(), words.begin(), words.end());
  words_.resize(words_.size() + (block - payload), 0);
  return true;
}

bool Record::add_np_track(const hw::Ident& ident, dma::Target target, uint16_t offset,
                          const std::vector<uint32_t>& words, bool sized, bool append) {
  if (!append || tracks.empty()) tracks.emplace_back();
  if (tracks.back().append(ident, target, offset, words, false, sized)) return true;
  tracks.emplace_back();
  if (tracks.back().append(ident, target, offset, words, true, sized)) return true;
  throw std::runtime_error("Error generating NP program.");
}

void Record::add_fnp2_filters_track(const hw::Ident& ident, const std::vector<uint32_t>& words) {
  fnp2_filters = std::make_unique<Fnp2FiltersTrack>(Fnp2FiltersTrack{ident, words});
}

RecordPtr new_record(const HwVersion& version) { return std::make_unique<Record>(version); }

}  // namespace qalto::program
