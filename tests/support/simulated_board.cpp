#include "tests/support/simulated_board.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "devices/soc.hpp"
#include "mapping/mesh_discovery.hpp"

namespace qalto::testing {

namespace {

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", value);
  return text;
}

// The register part shared by every kind of board driver.
template <typename Base>
class BoardDriver : public Base {
 public:
  explicit BoardDriver(SimulatedBoard& board) : board_(board) {}

  void read(uint32_t address, void* destination, size_t bytes) override {
    check_size(bytes);
    const uint32_t value = board_.read_register(address);
    std::memcpy(destination, &value, sizeof(value));
  }
  void write(uint32_t address, const void* source, size_t bytes) override {
    check_size(bytes);
    uint32_t value = 0;
    std::memcpy(&value, source, sizeof(value));
    board_.write_register(address, value);
  }
  uint32_t register_base() const override { return board_.config().register_base; }

 protected:
  SimulatedBoard& board_;

 private:
  static void check_size(size_t bytes) {
    if (bytes != sizeof(uint32_t)) throw std::invalid_argument("Registers move 4 bytes.");
  }
};

class SocBoardDriver : public BoardDriver<SocDriver> {
 public:
  using BoardDriver::BoardDriver;
  // The board follows the register protocol of the clock registers.
  soc::ClockMode clock_mode() override { return soc::get_clock_mode(*this); }
  void set_clock_mode(soc::ClockMode mode) override { soc::set_clock_mode(*this, mode); }
  void set_power_measurement_enabled(bool enabled) override {
    board_.record(std::string("set_power_measurement_enabled ") + (enabled ? "1" : "0"));
    board_.set_power_measurement(enabled);
  }
  std::shared_ptr<PowerMeter> power_meter() const override {
    return board_.power_measurement() ? board_.meter() : nullptr;
  }
};

template <typename Driver>
class FlashDriver : public Driver, public FlashAccessDriver {
 public:
  using Driver::Driver;
  std::shared_ptr<SpiFlashController> flash_controller() override {
    return this->board_.flash_controller();
  }
};

std::unique_ptr<HardwareDriver> make_driver(SimulatedBoard& board, const BoardConfig& config) {
  if (config.soc && config.flash) return std::make_unique<FlashDriver<SocBoardDriver>>(board);
  if (config.soc) return std::make_unique<SocBoardDriver>(board);
  if (config.flash) return std::make_unique<FlashDriver<BoardDriver<HardwareDriver>>>(board);
  return std::make_unique<BoardDriver<HardwareDriver>>(board);
}

MeshLayout small_layout() {
  // Two by two nodes of two NPs; the DMA node (1, 1) uses both ids for its endpoints.
  MeshLayout layout;
  layout.rows = 2;
  layout.cols = 2;
  layout.nps_per_node = 2;
  layout.dma_row = 1;
  layout.dma_col = 1;
  layout.dma_event_id = 0;
  layout.dma_conf_id = 1;
  layout.last_row_last_col = 2;
  return layout;
}

BoardConfig board_with(HwVersion version, const MeshLayout& layout) {
  BoardConfig config;
  config.version = version;
  config.registers = mesh_registers(layout);
  return config;
}

}  // namespace

std::map<uint32_t, uint32_t> mesh_registers(const MeshLayout& l) {
  using namespace mesh;
  uint32_t size = 0, dma = 0, extra = 0;
  set_field(&size, MESH_ROWS, l.rows);
  set_field(&size, MESH_COLS, l.cols);
  set_field(&size, MESH_ROW1_FIRST_COL, l.row1_first_col);
  set_field(&size, MESH_ROW2_FIRST_COL, l.row2_first_col);
  set_field(&dma, DMA_NPS_PER_NODE, l.nps_per_node);
  set_field(&dma, DMA_NODE_EMPTY, l.dma_node_empty ? 1 : 0);
  set_field(&dma, DMA_ROW, l.dma_row);
  set_field(&dma, DMA_COL, l.dma_col);
  set_field(&dma, DMA_EVENT_ID, l.dma_event_id);
  set_field(&dma, DMA_CONF_ID, l.dma_conf_id);
  set_field(&extra, EXTRA_ROW, l.extra_row);
  set_field(&extra, EXTRA_COL, l.extra_col);
  set_field(&extra, LAST_ROW_LAST_COL, l.last_row_last_col);
  return {{REG_MESH_SIZE, size}, {REG_DMA_NODE, dma}, {REG_MESH_EXTRA, extra}};
}

BoardConfig v1_board(HwVersion version) {
  BoardConfig config = board_with(version, small_layout());
  for (uint8_t col = 1; col <= 2; ++col)
    for (uint8_t row = 1; row <= 2; ++row)
      for (uint8_t id = 0; id < 2; ++id) config.np_words[{col, row, id, 0}] = NP_WORD_CNP1_CNP2_LUT;
  return config;
}

BoardConfig v2_board(HwVersion version) {
  BoardConfig config = v1_board(version);
  config.np_words[{2, 2, 1, 0}] = NP_WORD_FNP3;
  config.registers[mesh::REG_FEATURES] = 0x50;         // HRC installed, with a LUT
  config.registers[mesh::REG_SKIP_DMA] = 0x02000006;   // engines on bits 1 and 2, two channels
  config.registers[mesh::REG_SRAM_0] = 32768;          // 65536 input bytes
  config.registers[mesh::REG_SRAM_1] = 8192;           // 51200 weight bytes
  return config;
}

BoardConfig mivo_board(HwVersion version) {
  BoardConfig config = board_with(version, small_layout());
  config.registers[mesh::REG_SRAM_0] = 448;
  config.registers[mesh::REG_SRAM_1] = 8192;
  config.registers[mesh::REG_SRAM_2] = 892;
  config.registers[mesh::REG_SRAM_3] = 256;
  return config;
}

// ---- board ----

std::shared_ptr<SimulatedBoard> SimulatedBoard::create(BoardConfig config) {
  return std::shared_ptr<SimulatedBoard>(new SimulatedBoard(std::move(config)));
}

SimulatedBoard::SimulatedBoard(BoardConfig config) : config_(std::move(config)) {
  driver_ = make_driver(*this, config_);
  for (const auto& [offset, value] : config_.registers) {
    registers_[config_.register_base + offset] = value;
  }
  if (config_.soc) install_clock_registers();
}

SimulatedBoard::~SimulatedBoard() = default;

void SimulatedBoard::install_clock_registers() {
  // Starts in Performance mode: divider 1.
  registers_[soc::CLOCK_DIVIDER_ADDRESS] = 1;
  registers_[soc::CLOCK_DOUBLE_DIVIDER_ADDRESS] = 3;
  registers_[soc::CLOCK_DIVIDER_COPY_ADDRESS] = 1;
  on_write(soc::CLOCK_CHANGE_ADDRESS, [this](uint32_t value) {
    if (value & 1) clock_busy_reads_ = config_.clock_apply_reads;
  });
  on_read(soc::CLOCK_CHANGE_ADDRESS, [this](uint32_t) -> uint32_t {
    if (config_.clock_stuck) return 1;
    if (clock_busy_reads_ == 0) return 0;
    --clock_busy_reads_;
    return 1;
  });
}

void SimulatedBoard::install() {
  std::weak_ptr<SimulatedBoard> weak = shared_from_this();
  register_driver(driver_.get(), [weak](HardwareDriver*) -> std::shared_ptr<HardwareDevice> {
    auto board = weak.lock();
    if (!board) throw std::runtime_error("The simulated board is gone.");
    board->record("create");
    board->maybe_fail("create");
    auto device = std::make_shared<SimulatedDevice>(board);
    ++board->creations_;
    board->last_device_ = device;
    return device;
  });
}

std::vector<std::string> SimulatedBoard::log_of(const std::string& prefix) const {
  std::vector<std::string> entries;
  for (const auto& entry : log_)
    if (entry.rfind(prefix, 0) == 0) entries.push_back(entry);
  return entries;
}

uint32_t SimulatedBoard::register_value(uint32_t address) const {
  auto found = registers_.find(address);
  return found == registers_.end() ? 0 : found->second;
}

void SimulatedBoard::fail(const std::string& operation, const std::string& message, int times,
                          bool invalid_argument) {
  faults_[operation] = Fault{message, times, invalid_argument};
}

void SimulatedBoard::maybe_fail(const std::string& operation) {
  auto found = faults_.find(operation);
  if (found == faults_.end() || found->second.remaining == 0) return;
  Fault fault = found->second;
  if (found->second.remaining > 0) --found->second.remaining;
  if (fault.invalid_argument) throw std::invalid_argument(fault.message);
  throw std::runtime_error(fault.message);
}

uint32_t SimulatedBoard::read_register(uint32_t address) {
  record("read " + hex(address));
  maybe_fail("read");
  const uint32_t stored = register_value(address);
  auto hook = read_hooks_.find(address);
  return hook == read_hooks_.end() ? stored : hook->second(stored);
}

void SimulatedBoard::write_register(uint32_t address, uint32_t value) {
  record("write " + hex(address) + " " + std::to_string(value));
  maybe_fail("write");
  registers_[address] = value;
  auto hook = write_hooks_.find(address);
  if (hook != write_hooks_.end()) hook->second(value);
}

std::shared_ptr<SpiFlashController> SimulatedBoard::flash_controller() {
  record("flash_controller");
  maybe_fail("flash_controller");
  return flash_;
}

// ---- device ----

SimulatedDevice::SimulatedDevice(std::shared_ptr<SimulatedBoard> board)
    : board_(std::move(board)),
      desc_(board_->config().desc.empty()
                ? "SimulatedBoard/" + board_->config().version.to_display_string()
                : board_->config().desc),
      counter_(board_->config().clock_start),
      learn_mem_(board_->config().learn_mem_words, 0) {}

void SimulatedDevice::enable_clock_counter(bool enable) {
  board_->record(std::string("enable_clock_counter ") + (enable ? "1" : "0"));
  counting_ = enable;
}

void SimulatedDevice::reset_top_memory() {
  board_->record("reset_top_memory");
  top_memory_ = memory_in_use_;
}

bool SimulatedDevice::program(const uint8_t* data, size_t size) {
  board_->record("program " + std::to_string(size));
  board_->maybe_fail("program");
  if (board_->config().refuse_program) return false;
  // Like a chip, the device keeps the caller's bytes (valid until the next (un)programming);
  // the copy lets tests check that they stayed unchanged.
  program_ = {data, size};
  program_copy_.assign(data, data + size);
  program_clock_ = board_->config().program_clock_base + static_cast<uint32_t>(size);
  memory_in_use_ = static_cast<uint32_t>(size);
  top_memory_ = std::max(top_memory_, memory_in_use_);
  return true;
}

void SimulatedDevice::program_external(const uint8_t* data, size_t size, uint32_t address) {
  board_->record("program_external " + std::to_string(size) + " " + hex(address));
  board_->maybe_fail("program_external");
  program_ = {data, size};
  program_copy_.assign(data, data + size);
  external_address_ = address;
  program_clock_ = board_->config().program_clock_base + static_cast<uint32_t>(size);
}

void SimulatedDevice::read_np_info(uint32_t* words, const hw::Ident* idents, size_t count) {
  board_->maybe_fail("read_np_info");
  for (size_t i = 0; i < count; ++i) {
    board_->record("read_np_info " + hw::to_string(idents[i]));
    auto found = board_->config().np_words.find(idents[i]);
    words[i] = found == board_->config().np_words.end() ? 0 : found->second;
  }
}

void SimulatedDevice::prepare_run(size_t frame_count, bool flag) {
  board_->record("prepare_run " + std::to_string(frame_count) + " " + (flag ? "1" : "0"));
  board_->maybe_fail("prepare_run");
}

void SimulatedDevice::set_learn_enabled(bool enabled) {
  board_->record(std::string("set_learn_enabled ") + (enabled ? "1" : "0"));
  learn_enabled_ = enabled;
}

void SimulatedDevice::read_learn_mem(uint32_t* words) {
  board_->record("read_learn_mem " + std::to_string(learn_mem_.size()));
  std::copy(learn_mem_.begin(), learn_mem_.end(), words);
}

void SimulatedDevice::write_learn_mem(const uint32_t* words) {
  board_->record("write_learn_mem " + std::to_string(learn_mem_.size()));
  std::copy(words, words + learn_mem_.size(), learn_mem_.begin());
}

void SimulatedDevice::unprogram() {
  board_->record("unprogram");
  program_ = {};
  program_copy_.clear();
  memory_in_use_ = 0;
}

HardwareDevice::Outputs SimulatedDevice::fit(const Frames& frames,
                                             const std::vector<int32_t>& labels) {
  last_labels_ = labels;
  return run("fit", frames, board_->config().output_type);
}

HardwareDevice::Outputs SimulatedDevice::forward(const Frames& frames) {
  return run("forward", frames, board_->config().output_type);
}

HardwareDevice::Outputs SimulatedDevice::predict(const Frames& frames) {
  return run("predict", frames, TensorType::float32);
}

HardwareDriver* SimulatedDevice::driver() const {
  return board_->config().has_driver ? board_->driver() : nullptr;
}

void SimulatedDevice::keep_frames(const Frames& frames) {
  last_frames_.clear();
  frame_shapes_.clear();
  for (const auto& frame : frames) {
    last_frames_.emplace_back(frame->raw(), frame->raw() + frame->byte_size());
    frame_shapes_.push_back(frame->dimensions().to_vector());
  }
}

HardwareDevice::Outputs SimulatedDevice::run(const char* operation, const Frames& frames,
                                             TensorType type) {
  board_->record(std::string(operation) + " " + std::to_string(frames.size()));
  board_->maybe_fail(operation);
  keep_frames(frames);
  if (counting_) counter_ += board_->config().clocks_per_frame * static_cast<uint32_t>(frames.size());
  if (board_->power_measurement()) {
    board_->meter()->log_event(
        {board_->next_power_ts(), 1000000, 100 + static_cast<uint32_t>(frames.size())});
  }
  const size_t count = board_->config().output_count.value_or(frames.size());
  const Shape shape(board_->config().output_shape);
  Outputs outputs;
  for (size_t i = 0; i < count; ++i) {
    uint64_t sum = 0;
    if (i < last_frames_.size())
      for (uint8_t byte : last_frames_[i]) sum += byte;
    auto output = std::make_unique<Dense>(type, shape, Dense::Layout::RowMajor);
    const size_t element = element_size(type);
    for (size_t k = 0; k < output->size(); ++k) {
      const int64_t value = output_value(sum, k);
      uint8_t* at = output->raw() + k * element;
      if (type == TensorType::float32) {
        const float f = static_cast<float>(value);
        std::memcpy(at, &f, sizeof(f));
      } else {
        // Little-endian integer of the element's width.
        for (size_t b = 0; b < element; ++b) at[b] = static_cast<uint8_t>(value >> (8 * b));
      }
    }
    outputs.push_back(std::move(output));
  }
  return outputs;
}

}  // namespace qalto::testing
