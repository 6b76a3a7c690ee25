#pragma once
// Fixed limits of the Mivo TNP-R. Checks, messages, formats and tests read these constants.

#include <cstdint>

namespace qalto::mivo {

// TNP-R layers in one series, the closing layer included: the register image indexes them
// with 3 bits and keeps one flag bit per layer in a byte.
inline constexpr uint32_t kMaxSeriesLayers = 8;
// Stateful channels (a power of two) and output channels of one recurrent layer.
inline constexpr uint32_t kMaxStatefulChannels = 256;
inline constexpr uint32_t kMaxOutputChannels = 256;
inline constexpr uint32_t kMaxSubsample = 4;
// Input widths: the first layer reads 8- or 16-bit values, later layers 8-bit values.
inline constexpr uint32_t kInputBits8 = 8;
inline constexpr uint32_t kInputBits16 = 16;
// Output widths of the last recurrent layer.
inline constexpr uint32_t kOutputBits8 = 8;
inline constexpr uint32_t kOutputBits28 = 28;
inline constexpr uint32_t kOutputBits32 = 32;
// Width of the series output when a post-processing layer closes it.
inline constexpr uint32_t kClosedSeriesOutputBits = 16;
// The packed input row: a power of two of 32-bit words, at most this many bytes.
inline constexpr uint32_t kMaxInputRowBytes = 512;
inline constexpr uint32_t kMaxInputRowWords = kMaxInputRowBytes / 4;
// Input channels at 8-bit input, and at any other width.
inline constexpr uint32_t kMaxInputChannels8Bit = 256;
inline constexpr uint32_t kMaxInputChannelsOther = 128;
// The post-processing layer reads one channel over this range of timesteps.
inline constexpr uint32_t kPostProcessingChannels = 1;
inline constexpr uint32_t kMinPostProcessingTimesteps = 3;
inline constexpr uint32_t kMaxPostProcessingTimesteps = 128;
// A series closed by post-processing gives the TNP-R its input timesteps in an 8-bit register
// field: with subsampling, the series input can be longer than what reaches the closing layer.
inline constexpr uint32_t kMaxClosedSeriesInputTimesteps = 255;
// With ReLU the TNP-R clips at its own fixed point: these are the only accepted values.
inline constexpr uint32_t kReluMaxValue = 127;
inline constexpr uint32_t kReluMaxValueShift = 31;
// Widths of the TSRAM state-update fields checked before mapping.
inline constexpr uint32_t kNewStateShiftBits = 6;
inline constexpr uint32_t kNewStateScaleBits = 8;
inline constexpr uint32_t kInternalStateOutputsShiftBits = 5;

}  // namespace qalto::mivo
