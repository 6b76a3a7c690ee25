#include "mapping/mesh_mapper.hpp"

#include <algorithm>
#include <limits>

namespace qalto {

namespace {

// Flag bits that order the NP lists: what FNP work an NP (or its node) could take.
constexpr uint32_t kOnFnp3Node = 1u << 0;
constexpr uint32_t kServesFnp3 = 1u << 1;
constexpr uint32_t kServesFnp2 = 1u << 2;

using NpFlags = std::map<hw::Ident, uint32_t>;

uint32_t flags_of(const NpFlags& flags, const hw::Ident& ident) {
  auto found = flags.find(ident);
  return found == flags.end() ? 0 : found->second;
}

NpFlags compute_np_flags(const std::vector<np::Info>& nps) {
  NpFlags flags;
  for (const auto& np : nps) {
    if (np.types.count(hw::Type::FNP2)) flags[np.ident] |= kServesFnp2;
    if (np.types.count(hw::Type::FNP3)) {
      for (const auto& other : nps)
        if (other.ident.col == np.ident.col && other.ident.row == np.ident.row)
          flags[other.ident] |= kOnFnp3Node;
      flags[np.ident] |= kServesFnp3;
    }
  }
  return flags;
}

uint32_t saturate_u32(size_t count) {
  return static_cast<uint32_t>(
      std::min<size_t>(count, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

MeshMapper::MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints)
    : checker_(checker), constraints_(constraints) {}

void MeshMapper::reset() {
  const Mesh& mesh = constraints_.device()->mesh();
  const std::vector<np::Info> nps = mesh.nps;
  slots_.clear();
  for (const auto& np : nps)
    for (hw::Type type : np.types) slots_[type].push_back(NpSlot{np.ident, false, false});
  const NpFlags flags = compute_np_flags(nps);

  if (!mesh.skip_dmas.empty()) {
    // The first engine's channel byte gives the channel count of every engine.
    const uint8_t channels = mesh.skip_dmas.front().ident.channel;
    for (const auto& engine : mesh.skip_dmas) {
      for (uint8_t c = 0; c < channels; ++c) {
        const hw::Ident ident{engine.ident.col, engine.ident.row, engine.ident.id, c};
        slots_[hw::Type::SKIP_DMA_STORE].push_back(NpSlot{ident, false, false});
        slots_[hw::Type::SKIP_DMA_LOAD].push_back(NpSlot{ident, false, false});
      }
    }
  }

  for (auto& [type, list] : slots_) {
    if (type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD) continue;
    std::sort(list.begin(), list.end(), [&flags](const NpSlot& a, const NpSlot& b) {
      const uint32_t fa = flags_of(flags, a.ident);
      const uint32_t fb = flags_of(flags, b.ident);
      return fa != fb ? fa < fb : a.ident < b.ident;
    });
  }
}

void MeshMapper::reserve_nps(const std::vector<hw::Ident>& reserved) {
  for (auto& [type, list] : slots_)
    for (auto& slot : list)
      slot.reserved = std::find(reserved.begin(), reserved.end(), slot.ident) != reserved.end();
}

void MeshMapper::allocate_np(const hw::Ident& ident, hw::Type type) {
  for (auto& [slot_type, list] : slots_) {
    if (type != hw::Type::None && slot_type != type) continue;
    for (auto& slot : list)
      if (slot.ident == ident) slot.allocated = true;
  }
}

void MeshMapper::deallocate_nps() {
  for (auto& [type, list] : slots_)
    for (auto& slot : list) slot.allocated = false;
}

uint32_t MeshMapper::max_nps(hw::Type type) const {
  auto found = slots_.find(type);
  if (found == slots_.end()) return 0;
  const auto& list = found->second;
  return saturate_u32(static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [](const NpSlot& s) { return !s.reserved; })));
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) const {
  std::vector<hw::Ident> free;
  auto found = slots_.find(type);
  if (found == slots_.end()) return free;
  for (const auto& slot : found->second)
    if (!slot.reserved && !slot.allocated) free.push_back(slot.ident);
  return free;
}

hw::Type MeshMapper::get_compatible_fnp_type(const Layer& layer) const {
  const bool fnp2_free = !available_nps(hw::Type::FNP2).empty();
  const uint32_t fnp3_count = max_nps(hw::Type::FNP3);
  const bool fnp3_free = !available_nps(hw::Type::FNP3).empty();
  const bool fits = checker_.is_fnp3_compatible(layer);
  if (fnp3_free && fits) return hw::Type::FNP3;
  if (fnp2_free) return hw::Type::FNP2;
  if (fnp3_count != 0 && fits) return hw::Type::FNP3;
  return hw::Type::FNP2;
}

}  // namespace qalto
