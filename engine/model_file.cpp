#include "qalto/model_file.hpp"

#include <fcntl.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

uint32_t little_endian(const uint8_t* p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= uint32_t{p[i]} << (8 * i);
  return v;
}

}  // namespace

std::vector<uint8_t> compress(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> block(snappy::MaxCompressedLength(raw.size()));
  size_t length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(raw.data()), raw.size(),
                      reinterpret_cast<char*>(block.data()), &length);
  block.resize(length);
  return block;
}

std::vector<uint8_t> uncompress(const uint8_t* data, size_t size) {
  const auto [length, header] = read_header(data, size);
  const uint64_t body = size - header;
  if (length > body * kMaxExpansionNumerator / kMaxExpansionDenominator) corrupt();
  std::vector<uint8_t> out(static_cast<size_t>(length));
  const uint8_t* ip = data + header;
  const uint8_t* end = data + size;
  size_t op = 0;
  while (op < length) {
    if (ip >= end) corrupt();
    const uint8_t tag = *ip++;
    uint64_t count = 0;
    uint64_t offset = 0;
    const uint32_t upper = tag >> 2;
    switch (tag & 3) {
      case 0: {  // literal
        count = upper + 1;
        if (upper >= 60) {
          const size_t extra = upper - 59;
          if (static_cast<size_t>(end - ip) < extra) corrupt();
          count = uint64_t{little_endian(ip, extra)} + 1;
          ip += extra;
        }
        if (static_cast<uint64_t>(end - ip) < count || length - op < count) corrupt();
        std::memcpy(out.data() + op, ip, count);
        ip += count;
        op += count;
        continue;
      }
      case 1:
        if (end - ip < 1) corrupt();
        count = 4 + (upper & 7);
        offset = (uint64_t{upper >> 3} << 8) | *ip++;
        break;
      case 2:
        if (end - ip < 2) corrupt();
        count = upper + 1;
        offset = little_endian(ip, 2);
        ip += 2;
        break;
      default:
        if (end - ip < 4) corrupt();
        count = upper + 1;
        offset = little_endian(ip, 4);
        ip += 4;
        break;
    }
    if (offset == 0 || offset > op || length - op < count) corrupt();
    // Copies may overlap their own output (run-length style), so go byte by byte.
    for (uint64_t i = 0; i < count; ++i, ++op) out[op] = out[op - offset];
  }
  return out;
}

std::vector<uint8_t> read(const std::string& path) {
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
  std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
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

// Writes the block straight into `path`, truncating it: for targets that must not be replaced
// by a new file (devices, pipes, hard-linked or foreign files, unwritable directories).
void write_in_place(const std::string& path, const std::vector<uint8_t>& block,
                    const std::string& open_error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::invalid_argument(open_error);
  bool ok = write_all(fd, block.data(), block.size());
  ok = (::close(fd) == 0) && ok;
  if (!ok) throw std::runtime_error("Unable to write model file: " + path);
}

// The file a path names once symbolic links are followed, so that saving through a link
// updates the linked file instead of replacing the link.
std::string resolved(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string result(real);
  std::free(real);
  return result;
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
  const std::string final_path = exists ? resolved(path) : path;
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
