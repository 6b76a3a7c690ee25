#pragma once
// Model files: the serialised model (Model::serialize) compressed as one snappy raw block,
// with nothing before or after it. Readers ignore bytes that follow a complete block.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qalto::model_file {

// An allocator whose new elements are left uninitialised: the decoder writes every byte of its
// output, which is megabytes for a large model, so zero-filling it first would only cost time.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

// Bytes that resizing does not zero-fill.
using Bytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// The raw block of `raw`.
std::vector<uint8_t> compress(const std::vector<uint8_t>& raw);

// The content of a raw block, decoded by the snappy library. The stated length is checked
// against what the block's bytes can expand to before anything is allocated; bytes after a
// complete block are ignored. A bad length header, a truncated or damaged block, or one that
// yields fewer bytes than it states throws invalid_argument "Cannot uncompress corrupted
// serialization buffer".
Bytes uncompress(const uint8_t* data, size_t size);

// The uncompressed content of the model file at `path`. runtime_error "File not found." when
// it cannot be opened (an empty path or one holding a NUL byte included) or is not a regular
// file, "File is empty." for an empty file; then as
// `uncompress`.
Bytes read(const std::string& path);

// Compresses `raw` and writes it to `path`. A regular file of ours (or a new one) is replaced
// atomically: the block goes to a new file beside the target (with the target's permissions),
// which replaces the target only once it is completely written and closed, so a failure never
// leaves a truncated file in place of a good one. A symbolic link is followed, not replaced: the
// file at the end of its chain is written, and created when the link dangles.
// Targets that a new file must not replace (devices, pipes, hard-linked or foreign files), and
// files whose directory takes no new file, are written in place; a regular file then gets its
// new size reserved before a byte changes and is cut to the new length only once the block is
// written, so a full disk or a file-size limit leaves its old content whole.
// invalid_argument "Unable to open file for saving model: <path>" when the path is empty, holds
// a NUL byte, names a directory or a chain of links that loops, or the file cannot be opened
// for writing; runtime_error "Unable to write model file: <path>" when reserving, writing,
// syncing, closing or the replacement fails (a temporary file is removed).
void write(const std::string& path, const std::vector<uint8_t>& raw);

}  // namespace qalto::model_file
