#pragma once
// A logging fake chip with a learning memory, for the v1 learning tests: reads of the memory
// are logged ("read_learn_mem <words>") so a test can tell whether the memory was touched.

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_recorders.hpp"

namespace qalto::testing {

class LearnMemDevice : public FakeHardwareDevice {
 public:
  std::vector<uint32_t> learn_mem;

  size_t learn_mem_size() const override { return learn_mem.size(); }
  void read_learn_mem(uint32_t* words) override {
    log.push_back("read_learn_mem " + std::to_string(learn_mem.size()));
    if (!learn_mem.empty()) std::memcpy(words, learn_mem.data(), learn_mem.size() * 4);
  }
  void write_learn_mem(const uint32_t* words) override {
    std::memcpy(learn_mem.data(), words, learn_mem.size() * 4);
  }

  bool memory_read() const {
    for (const auto& entry : log)
      if (entry.rfind("read_learn_mem", 0) == 0) return true;
    return false;
  }
};

}  // namespace qalto::testing
