#pragma once
// The use a harness makes of a model it got from untrusted bytes: what a user does next with a
// loaded model, each step checked against its documented errors and its round trips.

#include "qalto/model.hpp"

namespace qalto::fuzz {

// Reads every layer's shapes and figures, checks that `macs` never wraps, that the model
// serialises to bytes that load back to the same bytes, that a copy serialises the same, and
// runs a small model in software on zero inputs (and `fit` when it has a learning set); the
// outputs of a last second-generation layer with an activation must lie in its output range.
void use_model(Model& model);

// serialize -> from_buffer -> serialize must give the same bytes; returns the bytes.
std::vector<uint8_t> check_round_trip(const Model& model);

}  // namespace qalto::fuzz
