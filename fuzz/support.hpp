#pragma once
// What every harness shares: a reader that turns fuzz bytes into choices, and the oracle that
// tells a documented refusal from a fault.
//
// A fault ends the process through abort(), so that libFuzzer keeps the input and the plain
// regression runner (run_inputs.cpp) fails.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace qalto::fuzz {

// Hands out the bytes of one input as numbers; an exhausted input reads as zeros, so every
// input, however short, describes one complete case.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  // A number in [0, bound); 0 when bound is 0.
  uint32_t below(uint32_t bound) { return bound == 0 ? 0 : (bound <= 256 ? byte() : u32()) % bound; }
  bool flag() { return byte() & 1; }
  // The next `count` bytes (fewer when the input ends).
  std::vector<uint8_t> bytes(size_t count) {
    const size_t n = count < size_ - pos_ ? count : size_ - pos_;
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  template <typename T, size_t N>
  const T& pick(const T (&choices)[N]) {
    return choices[below(N)];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Ends the process with `what`, its bytes outside printable ASCII escaped (names from the
// input may hold anything).
[[noreturn]] inline void fault(const std::string& what) {
  std::string text;
  for (const unsigned char c : what) {
    if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  std::fprintf(stderr, "FUZZ FAULT: %s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void check(bool condition, const std::string& what) {
  if (!condition) fault(what);
}

// The exceptions a step may document. Readers of untrusted bytes document invalid_argument only
// ("Invalid model buffer: ...", "Cannot uncompress corrupted serialization buffer"); the other
// entry points also document runtime_error (panics and status messages). overflow_error,
// logic_error and everything else are faults: they reach Python as OverflowError or "Unknown
// internal error" and say nothing a user can act on.
enum class Allowed { invalid_argument_only, invalid_argument_or_runtime };

// Runs `step`; returns true when it completed, false when it threw a documented exception, and
// ends the process on any other exception.
template <typename Step>
bool documented(const char* what, Allowed allowed, Step&& step) {
  try {
    step();
    return true;
  } catch (const std::overflow_error& e) {
    fault(std::string(what) + " threw overflow_error: " + e.what());
  } catch (const std::invalid_argument&) {
    return false;
  } catch (const std::runtime_error& e) {
    if (allowed == Allowed::invalid_argument_or_runtime) return false;
    fault(std::string(what) + " threw runtime_error: " + e.what());
  } catch (const std::exception& e) {
    fault(std::string(what) + " threw " + typeid(e).name() + ": " + e.what());
  } catch (...) {
    fault(std::string(what) + " threw a non-standard exception");
  }
}

}  // namespace qalto::fuzz
