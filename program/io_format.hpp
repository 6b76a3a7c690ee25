#pragma once
// Input and output formats of a program: how the device must read the model input and how the
// model output converts back. The sequence builder calls the input functions on the first
// layer of a sequence and the output functions on its last one.
//
// Variables are read through their typed view; a variable of another element type throws
// std::runtime_error (through panic) "Wrong requested type <t> for a tensor of type <name>".
// A missing variable or parameter throws what the engine's accessor throws.

#include <cstdint>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto::io {

// Bit width of the input: a Quantizer's output bits, any other layer's input bits.
uint8_t input_bits(const Layer& layer);

// Whether the input is signed: a Quantizer's output-signed flag; otherwise false for an input
// of 4 bits or less, else true unless the layer runs on the HRC.
bool input_sign(const Layer& layer);

// Whether a Quantizer's "channels_first" parameter is not 0; false for any other layer.
bool input_channels_first(const Layer& layer);

// A Quantizer's float32 variable "scales" (its first dimension's worth); empty otherwise.
std::vector<float> format_input_scales(const Layer& layer);

// A Quantizer's uint8 variable "zero_points" (its first dimension's worth); empty otherwise.
std::vector<uint8_t> format_input_zero_points(const Layer& layer);

// A Dequantizer: one 0 per entry of the first dimension of "scales". Another layer: empty when
// its activation is enabled or its activation type is not 1, otherwise its int32 variable
// "threshold".
std::vector<int32_t> format_output_shift(const Layer& layer);

// A Dequantizer: its float32 "scales". Another layer: empty under the conditions of
// format_output_shift, otherwise 1 / v for each value v of its float32 "act_step" (0 stays 0).
std::vector<float> format_output_scales(const Layer& layer);

}  // namespace qalto::io
