// Harness: the bytes of a model file -> the file decoder -> the reader that keeps the decoded
// bytes (as Model::load does) -> the use of the model. Both document invalid_argument only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/model_use.hpp"
#include "fuzz/support.hpp"
#include "qalto/model_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qalto;
  auto raw = std::make_shared<model_file::Bytes>();
  if (!fuzz::documented("model_file::uncompress", fuzz::Allowed::invalid_argument_only,
                        [&] { *raw = model_file::uncompress(data, size); })) {
    return 0;
  }
  // What the file decoder gives back, the writer makes again: compressing it and decoding the
  // block must give the same bytes.
  const std::vector<uint8_t> block =
      model_file::compress(std::vector<uint8_t>(raw->begin(), raw->end()));
  fuzz::check(model_file::uncompress(block.data(), block.size()) == *raw,
              "a compressed block does not decode to its content");
  std::unique_ptr<Model> model;
  if (!fuzz::documented("Model::from_owned_buffer", fuzz::Allowed::invalid_argument_only, [&] {
        model = Model::from_owned_buffer(raw, raw->data(), raw->size());
      })) {
    return 0;
  }
  fuzz::use_model(*model);
  return 0;
}
