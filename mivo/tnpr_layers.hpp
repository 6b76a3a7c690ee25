#pragma once
// How the Mivo programming reads a TNP-R series out of the engine's layer graph.
//
// A series is a run of StatefulRecurrent layers, each feeding the next through its first
// outbound link, closed by at most one post-processing layer. All functions here only read the
// graph.

#include <cstdint>
#include <memory>

#include "qalto/layer.hpp"

namespace qalto::mivo {

// Whether the layer runs on the TNP-R: a StatefulRecurrent layer (the engine's TNP-R target),
// or a MivoPostProcessing layer, which exists only to close a TNP-R series and runs there too
// although the engine's target test answers "no component" for it.
bool is_tnpr_layer(const Layer& layer);

// The first layer of the layer's outbound list, or null when the list is empty.
std::shared_ptr<Layer> first_outbound_layer(const Layer& layer);

// Whether the layer starts a series: its first inbound layer runs on no hardware component, or
// it has no inbound layer at all.
bool is_first_of_series(const Layer& layer);

// The timesteps (second) and channels (third) of the first input shape; 1 for an axis the
// shape lacks. Throws runtime_error "Cannot get input size before it is set." for a layer whose
// input size was never set.
uint32_t input_timesteps(const Layer& layer);
uint32_t input_channels(const Layer& layer);
// The channels (third dimension) of the output shape; 1 for a shape without that axis.
uint32_t output_channels(const Layer& layer);

// A layer parameter as the unsigned value the hardware fields take: a negative value becomes
// its 32-bit two's complement, so that it fails every upper limit instead of passing it.
// Throws invalid_argument "Key <key> not found" when the parameter is absent.
uint32_t unsigned_param(const Layer& layer, const char* key);

// The packed input row in 32-bit words: ceil(b x C / 32), or 1 when b x C + 31 is below 64,
// rounded up to a power of two (b input bits, C input channels). Computed in 64 bits;
// saturates at UINT32_MAX.
uint32_t packed_input_row_words(uint32_t input_bits, uint32_t channels);

// ceil(a / b) in 64 bits; 0 when b is 0.
uint64_t ceil_div(uint64_t a, uint64_t b);
// The smallest power of two at or above v (1 for 0).
uint64_t round_up_pow2(uint64_t v);
// A 64-bit count cut to 32 bits by saturation: a size too large for its field must stay above
// every budget rather than wrap below it.
uint32_t saturate_u32(uint64_t v);

}  // namespace qalto::mivo
