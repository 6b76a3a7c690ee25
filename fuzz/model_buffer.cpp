// Harness: bytes -> Model::from_buffer -> the use of the model (model_use.hpp). The reader
// documents invalid_argument only.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/model_use.hpp"
#include "fuzz/support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qalto;
  std::unique_ptr<Model> model;
  if (!fuzz::documented("Model::from_buffer", fuzz::Allowed::invalid_argument_only,
                        [&] { model = Model::from_buffer(data, size); })) {
    return 0;
  }
  fuzz::use_model(*model);
  return 0;
}
