#include "qalto/model_file.hpp"

#include <fcntl.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace qalto::model_file {

namespace {

constexpr const char* kCorrupt = "Cannot uncompress corrupted serialization buffer";
// The best a snappy element can do is a 3-byte copy of 64 bytes: no block expands more.
constexpr uint64_t kMaxExpansionNumerator = 64;
constexpr uint64_t kMaxExpansionDenominator = 3;
constexpr size_t kMaxVarintBytes = 5;

[[noreturn]] void corrupt() { throw std::invalid_argument(kCorrupt); }

// The stated length and the number of header bytes.
std::pair<uint64_t, size_t> read_header(const uint8_t* data, size_t size) {
  size_t length = 0;
  if (size == 0 || !snappy::GetUncompressedLength(reinterpret_cast<const char*>(data), size,
                                                  &length)) {
    corrupt();
  }
  size_t used = 0;
  while (used < size && used < kMaxVarintBytes && (data[used] & 0x80) != 0) ++used;
  if (used >= size || used >= kMaxVarintBytes) corrupt();
  return {length, used + 1};
}

// The library's decoder writes into a buffer of the stated length through this sink, which
// counts what it really receives: the count UncompressAsMuchAsPossible returns is not reliable
// (after a complete block followed by more bytes it counts the last block twice). Bytes beyond
// the buffer are never written; receiving them marks the block corrupt.
class BoundedSink : public snappy::Sink {
 public:
  BoundedSink(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Append(const char* bytes, size_t n) override {
    if (n > capacity_ - written_) {
      overflowed_ = true;
      n = capacity_ - written_;
    }
    if (n > 0) std::memcpy(buffer_ + written_, bytes, n);
    written_ += n;
  }

  // Whether the buffer was filled exactly.
  bool full() const { return written_ == capacity_ && !overflowed_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t written_ = 0;
  bool overflowed_ = false;
};

}  // namespace

std::vector<uint8_t> compress(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> block(snappy::MaxCompressedLength(raw.size()));
  size_t length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(raw.data()), raw.size(),
                      reinterpret_cast<char*>(block.data()), &length);
  block.resize(length);
  return block;
}

Bytes uncompress(const uint8_t* data, size_t size) {
  const auto [length, header] = read_header(data, size);
  const uint64_t body = size - header;
  // The stated length is untrusted: it sizes the output only once the block could produce it.
  if (length > body * kMaxExpansionNumerator / kMaxExpansionDenominator) corrupt();
  Bytes out(static_cast<size_t>(length));
  const char* block = reinterpret_cast<const char*>(data);
  char spare = 0;  // somewhere to point at when the block is empty
  char* output = length ? reinterpret_cast<char*>(out.data()) : &spare;
  if (snappy::RawUncompress(block, size, output)) return out;
  // RawUncompress also refuses bytes that follow a complete block; such a block still yields
  // all of its stated length.
  snappy::ByteArraySource source(block, size);
  BoundedSink sink(output, out.size());
  snappy::UncompressAsMuchAsPossible(&source, &sink);
  if (!sink.full()) corrupt();
  return out;
}

Bytes read(const std::string& path) {
  // A NUL byte would silently cut the path short and open another file.
  const bool nameable = !path.empty() && path.find('\0') == std::string::npos;
  FILE* file = nameable ? std::fopen(path.c_str(), "rb") : nullptr;
  if (!file) throw std::runtime_error("File not found.");
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(file);
    throw std::runtime_error("File not found.");
  }
  if (info.st_size <= 0) {
    std::fclose(file);
    throw std::runtime_error("File is empty.");
  }
  Bytes bytes(static_cast<size_t>(info.st_size));
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  bytes.resize(got);  // a file that shrank meanwhile is read as what is left
  if (bytes.empty()) throw std::runtime_error("File is empty.");
  return uncompress(bytes.data(), bytes.size());
}

namespace {

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string temporary_name(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// Reserves the file's first `size` bytes, so that writing them cannot run out of room (disk
// full, file-size limit) once the old content starts to be overwritten. A file system that
// cannot reserve is written without a reservation.
bool reserve(int fd, size_t size) {
  int error = 0;
  do {
    error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (error == EINTR);
  return error == 0 || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

// Writes the block straight into `path`: for targets that must not be replaced by a new file
// (devices, pipes, hard-linked or foreign files, unwritable directories). A regular file is
// neither truncated nor overwritten before its new size is reserved, and is cut to the block's
// length only once the block is written, so a failed save leaves the old content whole.
void write_in_place(const std::string& path, const std::vector<uint8_t>& block,
                    const std::string& open_error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) throw std::invalid_argument(open_error);
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0;
  const bool regular = ok && S_ISREG(info.st_mode);
  ok = ok && (!regular || reserve(fd, block.size()));
  ok = ok && write_all(fd, block.data(), block.size());
  if (regular) {
    ok = ok && ::ftruncate(fd, static_cast<off_t>(block.size())) == 0;
    ok = ok && ::fsync(fd) == 0;
  }
  ok = (::close(fd) == 0) && ok;
  if (!ok) throw std::runtime_error("Unable to write model file: " + path);
}

// Where the chain of symbolic links starting at `path` ends, whether that file exists or not:
// the name a save must replace or create so that the links stay links. Empty when the chain
// loops or is too long to follow.
std::string link_end(const std::string& path) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit
  std::filesystem::path current(path);
  for (int links = 0; links <= kMaxLinks; ++links) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(current, error))) {
      return current.string();
    }
    const std::filesystem::path target = std::filesystem::read_symlink(current, error);
    if (error) return current.string();
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return {};
}

}  // namespace

void write(const std::string& path, const std::vector<uint8_t>& raw) {
  // Everything that can fail before the disk is touched happens first.
  const std::vector<uint8_t> block = compress(raw);
  const std::string open_error = "Unable to open file for saving model: " + path;
  if (path.empty() || path.find('\0') != std::string::npos) {
    throw std::invalid_argument(open_error);
  }
  struct stat target {};
  const bool exists = ::stat(path.c_str(), &target) == 0;
  if (exists && (S_ISDIR(target.st_mode) || ::access(path.c_str(), W_OK) != 0)) {
    throw std::invalid_argument(open_error);
  }
  // Replacing such a target by a new file would change what it is (a device, a pipe), break
  // its other links or take it from its owner.
  if (exists && (!S_ISREG(target.st_mode) || target.st_nlink > 1 || target.st_uid != ::geteuid())) {
    write_in_place(path, block, open_error);
    return;
  }
  const std::string final_path = link_end(path);
  if (final_path.empty()) throw std::invalid_argument(open_error);
  const std::string temporary = temporary_name(final_path);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    // No new file can be made beside the target (its directory is not writable, or missing):
    // the target itself may still be writable.
    write_in_place(path, block, open_error);
    return;
  }
  bool ok = !exists || ::fchmod(fd, target.st_mode & 07777) == 0;
  ok = write_all(fd, block.data(), block.size()) && ok;
  ok = (::fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), final_path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("Unable to write model file: " + path);
  }
}

}  // namespace qalto::model_file
